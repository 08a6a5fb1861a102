#include "common/unicode.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ziri {
namespace {

struct Trim {
  std::string input;
  std::string trimmed;
};

class TrimWhiteSpace : public testing::TestWithParam<Trim> {};

TEST_P(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space(GetParam().input), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TrimWhiteSpace,
    testing::Values(Trim{"", ""}, Trim{" \t\n\v\f\r", ""}, Trim{"\xC2\x85x\xC2\xA0", "x"},
                    Trim{"\xE1\x9A\x80\xE2\x80\x8A a b \xE2\x80\xA8\xE2\x80\xA9", "a b"},
                    Trim{"\xE2\x80\xAFq\xE2\x81\x9F\xE3\x80\x80", "q"},
                    // Zero-width space and BOM are not White_Space.
                    Trim{"\xE2\x80\x8Bx\xEF\xBB\xBF", "\xE2\x80\x8Bx\xEF\xBB\xBF"},
                    // A truncated sequence is not white space and is kept.
                    Trim{"x\xE3\x80", "x\xE3\x80"}, Trim{"\xC3\xA9 ", "\xC3\xA9"}));

}  // namespace
}  // namespace ziri
