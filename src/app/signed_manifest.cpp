#include "app/signed_manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/apply_support.h"
#include "app/say.h"
#include "verify/signature.h"

namespace {

// Reads a small file whole, `-` being standard input, into `text`: at most
// `limit` + 1 bytes, so that a longer file shows. False after a message
// when it cannot be opened or read.
bool read_whole(const char* what, const char* name, std::size_t limit, std::string& text) {
    std::FILE* file = open_named_input(what, name);
    if (file == nullptr) {
        return false;
    }
    text.assign(limit + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        say("error reading %s file %s: %s", what, name, std::strerror(error));
    }
    return !failed;
}

std::string longer_than(std::size_t limit) {
    return "longer than " + std::to_string(limit) + " bytes";
}

// The manifest's bytes against its signature and the trusted keys.
int verify_manifest(const char* name, const std::string& text, const Trust& trust) {
    std::vector<PublicKey> keys(trust.keys.size());
    std::string file;
    std::string reason;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!read_whole("public key", trust.keys[i], MAX_SIGNATURE_FILE_SIZE, file)) {
            return EXIT_TROUBLE;
        }
        if (file.size() > MAX_SIGNATURE_FILE_SIZE) {
            reason = longer_than(MAX_SIGNATURE_FILE_SIZE);
        }
        if (!reason.empty() || !parse_public_key(file, keys[i], reason)) {
            say("%s: not a minisign public key: %s", trust.keys[i], reason.c_str());
            return EXIT_TROUBLE;
        }
    }
    const std::string default_name = std::string(name) + ".minisig";
    const char* signature_name =
        trust.signature != nullptr ? trust.signature : default_name.c_str();
    if (!read_whole("signature", signature_name, MAX_SIGNATURE_FILE_SIZE, file)) {
        return EXIT_TROUBLE;
    }
    Signature signature;
    if (file.size() > MAX_SIGNATURE_FILE_SIZE) {
        reason = longer_than(MAX_SIGNATURE_FILE_SIZE);
    }
    if (!reason.empty() || !parse_signature(file, signature, reason)) {
        say("%s: not a minisign signature file: %s", signature_name, reason.c_str());
        return EXIT_INVALID_PATCH;
    }
    const std::string key_id = key_id_text(signature.key_id);
    switch (verify_signature(text, signature, keys.data(), keys.size(), reason)) {
        case Verdict::verified:
            return EXIT_APPLIED;
        case Verdict::unknown_key:
            say("%s: signed by key %s, which is not a trusted key (--trust)", signature_name,
                key_id.c_str());
            return EXIT_INVALID_PATCH;
        case Verdict::message_altered:
            say("%s: the signature by key %s does not verify: %s is not the file it signed",
                signature_name, key_id.c_str(), name);
            return EXIT_INVALID_PATCH;
        case Verdict::comment_altered:
            say("%s: the trusted comment does not verify (key %s): the signature file was altered",
                signature_name, key_id.c_str());
            return EXIT_INVALID_PATCH;
        case Verdict::unavailable:
            break;
    }
    say("cannot verify signatures: %s", reason.c_str());
    return EXIT_TROUBLE;
}

}  // namespace

int read_manifest(const char* name, const Trust& trust, Manifest& manifest) {
    std::string text;
    if (!read_whole("manifest", name, MAX_MANIFEST_SIZE, text)) {
        return EXIT_TROUBLE;
    }
    if (text.size() > MAX_MANIFEST_SIZE) {
        say("%s: not a manifest: longer than %u bytes", name,
            static_cast<unsigned>(MAX_MANIFEST_SIZE));
        return EXIT_TROUBLE;
    }
    if (!trust.keys.empty()) {
        const int status = verify_manifest(name, text, trust);
        if (status != EXIT_APPLIED) {
            return status;
        }
    }
    int line = 0;
    std::string reason;
    if (!parse_manifest(text, manifest, line, reason)) {
        if (line > 0) {
            say("%s:%d: %s", name, line, reason.c_str());
        } else {
            say("%s: %s", name, reason.c_str());
        }
        return EXIT_TROUBLE;
    }
    return EXIT_APPLIED;
}
