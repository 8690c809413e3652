#include "app/manifest.h"

#include <cstring>

namespace {

constexpr const char* FIRST_LINE = "deltawright-manifest 1";
constexpr const char* FORMAT_LINE = "format DLT40";

struct Field {
    const char* name;
    std::uint64_t FileSeal::*size;  // the size field, or
    bool digest;                    // the digest field of `seal`
    FileSeal Manifest::*seal;
};

constexpr Field FIELDS[] = {
    {"original-size", &FileSeal::size, false, &Manifest::original},
    {"original-sha256", nullptr, true, &Manifest::original},
    {"updated-size", &FileSeal::size, false, &Manifest::updated},
    {"updated-sha256", nullptr, true, &Manifest::updated},
    {"patch-size", &FileSeal::size, false, &Manifest::patch},
    {"patch-sha256", nullptr, true, &Manifest::patch},
};
constexpr int FIELD_COUNT = static_cast<int>(sizeof FIELDS / sizeof FIELDS[0]);

// A size: decimal digits, no sign, no leading zero, at most 2^64 - 1.
bool parse_size(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool parse_digest(const std::string& text, std::uint8_t* digest) {
    if (text.size() != std::size_t{2} * DW_SHA256_SIZE) {
        return false;
    }
    for (std::size_t i = 0; i < DW_SHA256_SIZE; ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace

std::string hex_digest(const std::uint8_t* digest) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < DW_SHA256_SIZE; ++i) {
        out += DIGITS[digest[i] >> 4];
        out += DIGITS[digest[i] & 15];
    }
    return out;
}

std::string format_manifest(const Manifest& m) {
    std::string out = std::string(FIRST_LINE) + "\n" + FORMAT_LINE + "\n";
    for (const Field& f : FIELDS) {
        const FileSeal& seal = m.*f.seal;
        out += f.name;
        out += ' ';
        out += f.digest ? hex_digest(seal.sha256) : std::to_string(seal.*f.size);
        out += '\n';
    }
    return out;
}

bool parse_manifest(const std::string& text, Manifest& m, int& line, std::string& reason) {
    m = {};
    bool seen[FIELD_COUNT] = {};
    bool format_seen = false;
    line = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        ++line;
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            reason = "the last line does not end with a line feed";
            return false;
        }
        const std::string content = text.substr(at, end - at);
        at = end + 1;
        if (line == 1) {
            if (content != FIRST_LINE) {
                reason = content.rfind("deltawright-manifest ", 0) == 0
                             ? "unknown manifest version (this program reads version 1)"
                             : "not a deltawright manifest";
                return false;
            }
            continue;
        }
        const std::size_t space = content.find(' ');
        const std::string name = content.substr(0, space);
        const std::string value = space == std::string::npos ? "" : content.substr(space + 1);
        if (name == "format") {
            if (format_seen) {
                reason = "field format given twice";
                return false;
            }
            if (content != FORMAT_LINE) {
                reason = "unknown patch format (this program reads DLT40)";
                return false;
            }
            format_seen = true;
            continue;
        }
        int index = 0;
        while (index < FIELD_COUNT && name != FIELDS[index].name) {
            ++index;
        }
        if (index == FIELD_COUNT) {
            reason = "unknown field '" + name + "'";
            return false;
        }
        if (seen[index]) {
            reason = "field " + name + " given twice";
            return false;
        }
        seen[index] = true;
        const Field& f = FIELDS[index];
        FileSeal& seal = m.*f.seal;
        const bool good =
            f.digest ? parse_digest(value, seal.sha256) : parse_size(value, seal.*f.size);
        if (!good || space == std::string::npos) {
            reason = std::string("malformed ") + (f.digest ? "digest" : "size") + " in " + name +
                     (f.digest ? " (64 lowercase hex digits)" : " (a decimal number)");
            return false;
        }
    }
    if (line == 0) {
        reason = "empty";
        return false;
    }
    line = 0;
    if (!format_seen) {
        reason = "field format missing";
        return false;
    }
    for (int i = 0; i < FIELD_COUNT; ++i) {
        if (!seen[i]) {
            reason = std::string("field ") + FIELDS[i].name + " missing";
            return false;
        }
    }
    return true;
}
