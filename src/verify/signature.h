// Minisign signatures, verified: public key files and signature files read
// from their text, Ed25519 and BLAKE2b-512 from libgcrypt.
//
// Reads only the bytes it is given: opens no file, prints nothing, keeps no
// state but libgcrypt's one-time set-up. Never signs: signing stays with
// minisign, where the secret key lives. The programs use it; the library
// (include/deltawright/) never does.
//
// A public key file is a comment line and a key line, or the key line alone:
//
//     untrusted comment: minisign public key 5D1A0F2B3C4E6A7F
//     base64("Ed" || key id (8) || Ed25519 public key (32))
//
// A signature file has four lines:
//
//     untrusted comment: TEXT                  (not covered: may change)
//     base64(algorithm (2) || key id (8) || signature (64))
//     trusted comment: TEXT
//     base64(global signature (64))
//
// The algorithm is "ED" for a signature over the BLAKE2b-512 digest of the
// file (minisign's default) or "Ed" for one over the file itself (minisign
// -l). The global signature is over the signature's 64 bytes followed by
// the trusted comment's text, so that the comment cannot be altered. Key
// and signature files may end their lines with CR LF, as minisign allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t MINISIGN_KEY_ID_SIZE = 8;
inline constexpr std::size_t ED25519_PUBLIC_KEY_SIZE = 32;
inline constexpr std::size_t ED25519_SIGNATURE_SIZE = 64;
// The largest key or signature file read: minisign's own comments are at
// most 1 KiB (untrusted) and 8 KiB (trusted).
inline constexpr std::size_t MAX_SIGNATURE_FILE_SIZE = 16384;

struct PublicKey {
    std::uint8_t key_id[MINISIGN_KEY_ID_SIZE] = {};
    std::uint8_t key[ED25519_PUBLIC_KEY_SIZE] = {};
};

struct Signature {
    bool prehashed = true;  // "ED": over BLAKE2b-512 of the file; "Ed": over the file
    std::uint8_t key_id[MINISIGN_KEY_ID_SIZE] = {};
    std::uint8_t signature[ED25519_SIGNATURE_SIZE] = {};
    std::string trusted_comment;  // after "trusted comment: "
    std::uint8_t global_signature[ED25519_SIGNATURE_SIZE] = {};
};

// A public key file's text: false with the reason when it is not one.
bool parse_public_key(std::string_view text, PublicKey& key, std::string& reason);

// A signature file's text: false with the reason when it is not one.
bool parse_signature(std::string_view text, Signature& signature, std::string& reason);

// A key id as minisign prints it: uppercase hex, without leading zeros.
std::string key_id_text(const std::uint8_t* key_id);

enum class Verdict {
    verified,         // a trusted key signed the message and the trusted comment
    unknown_key,      // no trusted key has the signature's key id
    message_altered,  // the signature does not verify over the message
    comment_altered,  // the signature verifies, the global signature does not
    unavailable,      // libgcrypt could not be set up or failed (reason says why)
};

// Whether one of `keys` signed `message`: each key with the signature's
// key id is tried, so that keys can be rotated (old and new trusted at
// once). Fails closed: anything but both signatures verifying is a refusal.
Verdict verify_signature(std::string_view message, const Signature& signature,
                         const PublicKey* keys, std::size_t key_count, std::string& reason);
