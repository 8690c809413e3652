#include "verify/signature.h"

#include <cstring>
#include <vector>

#include <gcrypt.h>

namespace {

// The algorithm bytes at the start of a key or a signature.
constexpr char ALGORITHM_ED25519[] = "Ed";    // a key; a signature over the file
constexpr char ALGORITHM_PREHASHED[] = "ED";  // a signature over its BLAKE2b-512
constexpr std::size_t ALGORITHM_SIZE = 2;
constexpr std::size_t KEY_BLOB_SIZE =
    ALGORITHM_SIZE + MINISIGN_KEY_ID_SIZE + ED25519_PUBLIC_KEY_SIZE;
constexpr std::size_t SIGNATURE_BLOB_SIZE =
    ALGORITHM_SIZE + MINISIGN_KEY_ID_SIZE + ED25519_SIGNATURE_SIZE;
constexpr std::size_t BLAKE2B_512_SIZE = 64;
constexpr std::string_view UNTRUSTED_PREFIX = "untrusted comment: ";
constexpr std::string_view TRUSTED_PREFIX = "trusted comment: ";

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// True when `text` is exactly the padded base64 of `size` bytes, which it
// decodes into `out`: no other length, character or unused bit is taken.
bool decode_base64(std::string_view text, std::uint8_t* out, std::size_t size) {
    if (text.size() != (size + 2) / 3 * 4) {
        return false;
    }
    const std::size_t padding = (3 - size % 3) % 3;
    std::uint32_t bits = 0;
    int bit_count = 0;
    std::size_t written = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i >= text.size() - padding) {
            if (text[i] != '=') {
                return false;
            }
            continue;
        }
        const int value = base64_value(text[i]);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            out[written++] = static_cast<std::uint8_t>(bits >> bit_count);
            bits &= (1U << bit_count) - 1;
        }
    }
    return written == size && bits == 0;  // the bits left over are zero
}

// The text's lines, each without its line end (LF or CR LF); a final line
// end ends the last line rather than starting an empty one.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

bool begins_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool set_up_gcrypt(std::string& reason) {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            return false;
        }
        // Only public keys are handled: no secure memory is needed.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    if (!ready) {
        reason = std::string("libgcrypt ") + gcry_check_version(nullptr) + " is older than " +
                 GCRYPT_VERSION + ", which this program was built with";
    }
    return ready;
}

// Ed25519 (RFC 8032, pure): whether `signature` is `key`'s over `message`.
// False on any failure, the library's included.
bool ed25519_verifies(const std::uint8_t* key, const std::uint8_t* signature, const void* message,
                      std::size_t size) {
    gcry_sexp_t key_sexp = nullptr;
    gcry_sexp_t signature_sexp = nullptr;
    gcry_sexp_t data_sexp = nullptr;
    const int half = static_cast<int>(ED25519_SIGNATURE_SIZE / 2);
    bool verified =
        gcry_sexp_build(&key_sexp, nullptr,
                        "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        static_cast<int>(ED25519_PUBLIC_KEY_SIZE), key) == 0 &&
        gcry_sexp_build(&signature_sexp, nullptr, "(sig-val (eddsa (r %b) (s %b)))", half,
                        signature, half, signature + half) == 0 &&
        gcry_sexp_build(&data_sexp, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(size), message) == 0;
    verified = verified && gcry_pk_verify(signature_sexp, data_sexp, key_sexp) == 0;
    gcry_sexp_release(data_sexp);
    gcry_sexp_release(signature_sexp);
    gcry_sexp_release(key_sexp);
    return verified;
}

}  // namespace

bool parse_public_key(std::string_view text, PublicKey& key, std::string& reason) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.empty() || lines.size() > 2) {
        reason = "not one key line, with or without its comment line before it";
        return false;
    }
    if (lines.size() == 2 && !begins_with(lines[0], UNTRUSTED_PREFIX)) {
        reason = "the first of two lines is not an untrusted comment";
        return false;
    }
    std::uint8_t blob[KEY_BLOB_SIZE];
    if (!decode_base64(lines.back(), blob, sizeof blob)) {
        reason = "the key line is not the base64 of a 42-byte key";
        return false;
    }
    if (std::memcmp(blob, ALGORITHM_ED25519, ALGORITHM_SIZE) != 0) {
        reason = "not an Ed25519 key";
        return false;
    }
    std::memcpy(key.key_id, blob + ALGORITHM_SIZE, MINISIGN_KEY_ID_SIZE);
    std::memcpy(key.key, blob + ALGORITHM_SIZE + MINISIGN_KEY_ID_SIZE, ED25519_PUBLIC_KEY_SIZE);
    return true;
}

bool parse_signature(std::string_view text, Signature& signature, std::string& reason) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() != 4) {
        reason = "not the four lines of a signature file";
        return false;
    }
    if (!begins_with(lines[0], UNTRUSTED_PREFIX)) {
        reason = "the first line is not an untrusted comment";
        return false;
    }
    std::uint8_t blob[SIGNATURE_BLOB_SIZE];
    if (!decode_base64(lines[1], blob, sizeof blob)) {
        reason = "the second line is not the base64 of a 74-byte signature";
        return false;
    }
    if (std::memcmp(blob, ALGORITHM_PREHASHED, ALGORITHM_SIZE) == 0) {
        signature.prehashed = true;
    } else if (std::memcmp(blob, ALGORITHM_ED25519, ALGORITHM_SIZE) == 0) {
        signature.prehashed = false;
    } else {
        reason = "an unknown signature algorithm (not Ed25519)";
        return false;
    }
    std::memcpy(signature.key_id, blob + ALGORITHM_SIZE, MINISIGN_KEY_ID_SIZE);
    std::memcpy(signature.signature, blob + ALGORITHM_SIZE + MINISIGN_KEY_ID_SIZE,
                ED25519_SIGNATURE_SIZE);
    if (!begins_with(lines[2], TRUSTED_PREFIX)) {
        reason = "the third line is not a trusted comment";
        return false;
    }
    signature.trusted_comment = std::string(lines[2].substr(TRUSTED_PREFIX.size()));
    if (!decode_base64(lines[3], signature.global_signature, ED25519_SIGNATURE_SIZE)) {
        reason = "the fourth line is not the base64 of a 64-byte global signature";
        return false;
    }
    return true;
}

std::string key_id_text(const std::uint8_t* key_id) {
    // minisign prints the id as a little-endian number, in hex without
    // leading zeros (in a public key's comment, for one).
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = MINISIGN_KEY_ID_SIZE; i-- > 0;) {
        text += HEX[key_id[i] >> 4];
        text += HEX[key_id[i] & 15];
    }
    const std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}

Verdict verify_signature(std::string_view message, const Signature& signature,
                         const PublicKey* keys, std::size_t key_count, std::string& reason) {
    if (!set_up_gcrypt(reason)) {
        return Verdict::unavailable;
    }
    std::uint8_t digest[BLAKE2B_512_SIZE];
    if (signature.prehashed) {
        gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest, message.data(), message.size());
    }
    const void* signed_bytes = signature.prehashed ? static_cast<const void*>(digest)
                                                   : static_cast<const void*>(message.data());
    const std::size_t signed_size = signature.prehashed ? sizeof digest : message.size();
    // What the global signature covers.
    std::string global(reinterpret_cast<const char*>(signature.signature), ED25519_SIGNATURE_SIZE);
    global += signature.trusted_comment;
    Verdict verdict = Verdict::unknown_key;
    for (std::size_t i = 0; i < key_count; ++i) {
        if (std::memcmp(keys[i].key_id, signature.key_id, MINISIGN_KEY_ID_SIZE) != 0) {
            continue;
        }
        if (!ed25519_verifies(keys[i].key, signature.signature, signed_bytes, signed_size)) {
            if (verdict == Verdict::unknown_key) {
                verdict = Verdict::message_altered;
            }
            continue;
        }
        if (ed25519_verifies(keys[i].key, signature.global_signature, global.data(),
                             global.size())) {
            return Verdict::verified;
        }
        verdict = Verdict::comment_altered;
    }
    return verdict;
}
