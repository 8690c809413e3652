#include "platform/temporary_name.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct NameCase {
    const char* what;
    std::string base;
    std::size_t name_max;
    std::string kept;  // the part of base the name keeps
};

void PrintTo(const NameCase& c, std::ostream* out) {
    *out << c.what;
}

class TemporaryName : public testing::TestWithParam<NameCase> {};

// The name is `.` + a prefix of base + `.tmp` + 8 characters, fits the limit,
// and never cuts a UTF-8 character in two.
TEST_P(TemporaryName, FitsAndKeepsAWholePrefix) {
    const NameCase& c = GetParam();
    const std::string name = temporary_name(c.base, c.name_max, 0x123456789abcdefULL);
    EXPECT_LE(name.size(), c.name_max);
    EXPECT_EQ(name.substr(0, 1 + c.kept.size()), "." + c.kept);
    EXPECT_EQ(name.substr(1 + c.kept.size(), 4), ".tmp");
    EXPECT_EQ(name.size(), 1 + c.kept.size() + 4 + 8);
}

const std::string LONG(255, 'n');
// "é" is two bytes: a limit that falls between them keeps neither.
const std::string ACCENTS = std::string(240, 'a') + "\xc3\xa9\xc3\xa9";

INSTANTIATE_TEST_SUITE_P(Names, TemporaryName,
                         testing::Values(NameCase{"short", "out.bin", 255, "out.bin"},
                                         NameCase{"the longest name", LONG, 255,
                                                  std::string(242, 'n')},
                                         NameCase{"cut before a two-byte character", ACCENTS, 255,
                                                  std::string(240, 'a') + "\xc3\xa9"},
                                         NameCase{"cut inside a two-byte character", ACCENTS, 254,
                                                  std::string(240, 'a')},
                                         NameCase{"no room for any of it", "abc", 13, ""}),
                         [](const testing::TestParamInfo<NameCase>& info) {
                             std::string name = info.param.what;
                             for (char& ch : name) {
                                 ch = std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
                             }
                             return name;
                         });

TEST(TemporaryNameRandom, DifferentNumbersGiveDifferentNames) {
    EXPECT_NE(temporary_name("x", 255, 1), temporary_name("x", 255, 2));
}

}  // namespace
