#include "app/say.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

std::size_t utf8_length(const unsigned char* text, std::size_t size) {
    const unsigned char lead = text[0];
    std::size_t length = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, code = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, code = lead & 0x07U;
    } else {
        return 0;
    }
    if (length > size) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0U) != 0x80U) {
            return 0;
        }
        code = code << 6 | (text[i] & 0x3FU);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

bool is_control(const unsigned char* text, std::size_t length) {
    return text[0] < 0x20 || text[0] == 0x7F || (length == 2 && text[0] == 0xC2 && text[1] < 0xA0);
}

std::string printable(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::size_t size = std::strlen(text);
    std::string out;
    out.reserve(size);
    for (std::size_t at = 0; at < size;) {
        std::size_t n = utf8_length(bytes + at, size - at);
        if (n == 0 || is_control(bytes + at, n)) {
            n = n == 0 ? 1 : n;
            for (std::size_t i = 0; i < n; ++i) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", bytes[at + i]);
                out += escaped;
            }
        } else {
            out.append(text + at, n);
        }
        at += n;
    }
    return out;
}

void (*before_message)() = nullptr;

void say(const char* format, ...) {
    if (before_message != nullptr) {
        before_message();
    }
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::vector<char> line(size > 0 ? static_cast<std::size_t>(size) + 1 : 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, again);
    va_end(again);
    std::fprintf(stderr, "deltawright-apply: %s\n", printable(line.data()).c_str());
}
