#include "platform/DataExchange.h"

#include <gtest/gtest.h>

using platform::ParseUnsigned;

TEST(UnsignedNumberRule, ReadsDigitsAndIgnoresWhatFollows)
{
    EXPECT_EQ(ParseUnsigned("12abc"), 12u);
    EXPECT_EQ(ParseUnsigned(" 7"), 7u);
    EXPECT_EQ(ParseUnsigned("\t+42 mm"), 42u);
    EXPECT_EQ(ParseUnsigned("0"), 0u);
}

TEST(UnsignedNumberRule, GivesTheTwosComplementForAMinus)
{
    EXPECT_EQ(ParseUnsigned("-1"), 4294967295u);
    EXPECT_EQ(ParseUnsigned("-12170"), 4294967295u - 12170u + 1u);
}

TEST(UnsignedNumberRule, RefusesTextWithoutANumber)
{
    EXPECT_EQ(ParseUnsigned(""), std::nullopt);
    EXPECT_EQ(ParseUnsigned("abc"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("   "), std::nullopt);
    EXPECT_EQ(ParseUnsigned("-"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("x12"), std::nullopt);
}

TEST(UnsignedNumberRule, ReadsOnlyTheFirstSixtyThreeCharacters)
{
    EXPECT_EQ(ParseUnsigned(QString(62, ' ') + "5"), 5u);
    EXPECT_EQ(ParseUnsigned(QString(63, ' ') + "5"), std::nullopt);
}

TEST(UnsignedNumberRule, HoldsNumbersBeyondThirtyTwoBitsAtTheMaximum)
{
    EXPECT_EQ(ParseUnsigned("4294967295"), 4294967295u);
    EXPECT_EQ(ParseUnsigned("4294967296"), 4294967295u);
    EXPECT_EQ(ParseUnsigned("99999999999999999999999"), 4294967295u);
}

TEST(UnsignedNumberInRange, TakesWhatTheRuleTakesButRefusesWrappedAndSaturatedValues)
{
    using platform::ParseUnsignedInRange;
    EXPECT_EQ(ParseUnsignedInRange("12abc"), 12u);
    EXPECT_EQ(ParseUnsignedInRange(" +7"), 7u);
    EXPECT_EQ(ParseUnsignedInRange("4294967295"), 4294967295u);
    EXPECT_EQ(ParseUnsignedInRange("-0"), 0u);
    EXPECT_EQ(ParseUnsignedInRange("4294967296"), std::nullopt);
    EXPECT_EQ(ParseUnsignedInRange("99999999999"), std::nullopt);
    EXPECT_EQ(ParseUnsignedInRange("-1"), std::nullopt);
    EXPECT_EQ(ParseUnsignedInRange("abc"), std::nullopt);
    EXPECT_EQ(ParseUnsignedInRange(""), std::nullopt);
}
