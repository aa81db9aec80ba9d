// Cutting, splitting and comparing version texts.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/runner/version_probe.h"

namespace {

using runner::CutVersionText;
using runner::InstalledVersionWins;
using runner::ParseVersion;
using runner::SplitVersion;

TEST(CutVersionText, SkipsTwelveCharactersAndStopsAtTheFirstLineFeed) {
  EXPECT_EQ(CutVersionText("Quorlin ver 1.2.3\n"), "1.2.3");
  EXPECT_EQ(CutVersionText("Quorlin ver 1.2.3\nmore\n"), "1.2.3");
  EXPECT_EQ(CutVersionText("\n\n\n\n\n\n\n\n\n\n\n\n1.2"), "1.2");  // the prefix is not examined
  EXPECT_EQ(CutVersionText("Quorlin ver 1.2.3\r\n"), "1.2.3\r");
}

TEST(CutVersionText, RunsToTheEndWithoutALineFeedOrWithAnEarlyOne) {
  EXPECT_EQ(CutVersionText("Quorlin ver 1.2.3"), "1.2.3");
  EXPECT_EQ(CutVersionText("ab\ndefghijkl4.5"), "4.5");
}

TEST(CutVersionText, LengthLimits) {
  EXPECT_EQ(CutVersionText(""), "");
  for (std::size_t n = 1; n <= 12; ++n) EXPECT_EQ(CutVersionText(std::string(n, '7')), "") << n;
  EXPECT_EQ(CutVersionText("123456789012\n"), "");
  EXPECT_EQ(CutVersionText(std::string(12, 'p') + std::string(37, '9')), std::string(37, '9'));
  EXPECT_EQ(CutVersionText(std::string(12, 'p') + std::string(38, '9')), "");
}

TEST(SplitVersion, UsesTheStandardTextToIntegerRule) {
  EXPECT_EQ(SplitVersion("1.2.3", "."), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(SplitVersion("7", "."), (std::vector<int>{7}));
  EXPECT_EQ(SplitVersion("1.02", "."), (std::vector<int>{1, 2}));
  EXPECT_EQ(SplitVersion("3-beta. 4.+5.-6", "."), (std::vector<int>{3, 4, 5, -6}));
  EXPECT_EQ(SplitVersion("2147483647.-2147483648", "."),
            (std::vector<int>{2147483647, -2147483648}));
  EXPECT_EQ(SplitVersion("1--2--3", "--"), (std::vector<int>{1, 2, 3}));
}

TEST(SplitVersion, RaisesForPartsWithoutANumberOrOutOfRange) {
  EXPECT_THROW(SplitVersion("1..2", "."), std::invalid_argument);
  EXPECT_THROW(SplitVersion(".1", "."), std::invalid_argument);
  EXPECT_THROW(SplitVersion("1.", "."), std::invalid_argument);
  EXPECT_THROW(SplitVersion("a.1", "."), std::invalid_argument);
  EXPECT_THROW(SplitVersion("1.2147483648", "."), std::out_of_range);
  EXPECT_THROW(SplitVersion("-2147483649", "."), std::out_of_range);
}

TEST(ParseVersion, TurnsEveryUnreadableTextIntoNoVersion) {
  EXPECT_FALSE(ParseVersion(""));
  EXPECT_FALSE(ParseVersion("1..2"));
  EXPECT_FALSE(ParseVersion("beta"));
  EXPECT_FALSE(ParseVersion("99999999999"));
  ASSERT_TRUE(ParseVersion("4.5"));
  EXPECT_EQ(*ParseVersion("4.5"), (std::vector<int>{4, 5}));
}

TEST(InstalledVersionWins, TheFirstDifferingPositionDecides) {
  EXPECT_FALSE(InstalledVersionWins({1, 2, 3}, {1, 2, 4}));
  EXPECT_TRUE(InstalledVersionWins({1, 2, 4}, {1, 2, 3}));
  EXPECT_FALSE(InstalledVersionWins({1, 2, 3}, {1, 2, 3}));
  EXPECT_FALSE(InstalledVersionWins({1, 9, 0}, {2, 0, 0}));
  EXPECT_TRUE(InstalledVersionWins({2, 0, 0}, {1, 9, 9}));
  EXPECT_FALSE(InstalledVersionWins({1, 2}, {1, 2, 5}));
  EXPECT_FALSE(InstalledVersionWins({1, 2, 5}, {1, 2}));
  EXPECT_FALSE(InstalledVersionWins({-1}, {0}));
  EXPECT_TRUE(InstalledVersionWins({0}, {-1}));
  EXPECT_FALSE(InstalledVersionWins({}, {1}));
}

}  // namespace
