// The name of a temporary file beside an output, shared by the platform
// implementations (standard C++ only).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

// `.BASE.tmpXXXXXXXX` (X from `random`), recognisable beside BASE, with BASE
// shortened (never inside a UTF-8 character) so that the whole name fits in
// `name_max` bytes, whatever the output name's length.
inline std::string temporary_name(const std::string& base, std::size_t name_max,
                                  std::uint64_t random) {
    constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    constexpr std::uint64_t RADIX = sizeof DIGITS - 1;
    std::string suffix = ".tmp";
    for (int i = 0; i < 8; ++i, random /= RADIX) {
        suffix += DIGITS[random % RADIX];
    }
    const std::size_t fixed = 1 + suffix.size();
    std::size_t keep = std::min(base.size(), name_max > fixed ? name_max - fixed : 0);
    while (keep > 0 && keep < base.size() &&
           (static_cast<unsigned char>(base[keep]) & 0xC0U) == 0x80U) {
        --keep;
    }
    std::string name = ".";
    name.append(base, 0, keep);
    name += suffix;
    return name;
}
