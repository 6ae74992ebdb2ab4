// The masked matcher over a ring: which bytes form the window, and what
// each mask character asks of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include.h"

namespace {

struct MatchCase {
  const char* what;
  std::string ring;  // the ring's bytes, position 0 first
  unsigned srIndex;
  std::string pattern;
  std::string mask;
  unsigned expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.what; }

std::string ringWith(size_t len, size_t at, const std::string& text) {
  std::string r(len, '.');
  for (size_t i = 0; i < text.size(); i++) r[(at + i) % len] = text[i];
  return r;
}

std::string takeHeader(const std::string& first11) {
  std::string h = first11;
  h.resize(48, '#');
  return h;
}

}  // namespace

class Matcher : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Matcher, Answers) {
  const MatchCase& c = GetParam();
  const auto* sr = reinterpret_cast<const unsigned char*>(c.ring.data());
  EXPECT_EQ(EvalStringMatch(sr, static_cast<unsigned>(c.ring.size()), c.srIndex, c.pattern.data(),
                            static_cast<unsigned>(c.pattern.size()), c.mask.data()),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Matcher,
    ::testing::Values(
        // The window across the wrap: positions 45, 46, 47, 0, 1, 2.
        MatchCase{"ring_wrap_match", ringWith(48, 45, "VS1680"), 3, "VS1680", "111111", 1},
        MatchCase{"ring_wrap_one_byte_off", ringWith(48, 45, "VS1681"), 3, "VS1680", "111111", 0},
        MatchCase{"window_ends_before_index", ringWith(48, 10, "VS1680"), 17, "VS1680", "111111", 0},
        MatchCase{"index_zero_takes_the_ring_end", ringWith(48, 42, "VS1680"), 0, "VS1680", "111111", 1},
        MatchCase{"length_zero_matches_anything", "abc", 1, "", "", 1},
        MatchCase{"whole_ring_from_index", "80VS16", 2, "VS1680", "111111", 1},
        MatchCase{"whole_ring_index_wraps", "VS1680", 6, "VS1680", "111111", 1},
        MatchCase{"plain_buffer_2480_header", takeHeader("TK123456VR1"), 11, "TKxxxxxxVR1", "11000000101", 1},
        MatchCase{"plain_buffer_ignores_middle", takeHeader(std::string("TK\xff\0zz!!VQ1", 11)), 11, "TKxxxxxxVR1",
                  "11000000101", 1},
        MatchCase{"plain_buffer_2000_needs_2", takeHeader("TK123456VR1"), 11, "TKxxxxxxVS2", "11000000101", 0},
        MatchCase{"plain_buffer_wrong_v", takeHeader("TK123456WR1"), 11, "TKxxxxxxVR1", "11000000101", 0},
        MatchCase{"mask_of_zeros_matches_anything", "qwerty", 3, "VS1680", "000000", 1},
        MatchCase{"mask_two_must_differ", "AXC", 3, "ABC", "121", 1},
        MatchCase{"mask_two_fails_on_equal", "ABC", 3, "ABC", "121", 0},
        MatchCase{"other_mask_characters_skip", "ABC", 3, "AZC", "1x1", 1},
        MatchCase{"bytes_compared_unsigned", std::string("\x80\xff", 2), 2, std::string("\x80\xff", 2), "11",
                  1}),
    [](const ::testing::TestParamInfo<MatchCase>& i) { return std::string(i.param.what); });
