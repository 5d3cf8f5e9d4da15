#include <String.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

struct AppendCase
{
    const char* label;
    BString (*build)();
    const char* expected;
};

const AppendCase kAppendCases[] = {
    {"int32", [] { return BString() << int32(10); }, "10"},
    {"negativeLong", [] { return BString("L=") << long(-80); }, "L=-80"},
    {"int64Max", [] { return BString() << int64(INT64_MAX); }, "9223372036854775807"},
    {"int32Min", [] { return BString() << int32(INT32_MIN); }, "-2147483648"},
    {"unsigned", [] { return BString() << uint32(4000000000u); }, "4000000000"},
    {"chained", [] { return BString("A") << " : " << long(10) << BString("!"); }, "A : 10!"},
    {"nullString", [] { return BString(nullptr) << static_cast<const char*>(nullptr); }, ""},
    {"char", [] { return BString("x") << 'y'; }, "xy"},
};

void PrintTo(const AppendCase& c, std::ostream* os)
{
    *os << c.label;
}

class BStringAppend : public ::testing::TestWithParam<AppendCase>
{
};

TEST_P(BStringAppend, FormatsLikeDecimalText)
{
    BString s = GetParam().build();
    EXPECT_STREQ(s.String(), GetParam().expected);
    EXPECT_EQ(s.Length(), int32(std::string(GetParam().expected).size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, BStringAppend, ::testing::ValuesIn(kAppendCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(BString, AssignmentReplacesTheText)
{
    BString s("first");
    s << long(1);
    s = "second";
    EXPECT_STREQ(s.String(), "second");
    s = static_cast<const char*>(nullptr);
    EXPECT_STREQ(s.String(), "");
    EXPECT_EQ(s.Length(), 0);
}

TEST(BString, AssigningItsOwnTextIsSafe)
{
    BString s("some longer text to defeat small buffers");
    s = s.String();
    EXPECT_STREQ(s.String(), "some longer text to defeat small buffers");
}

TEST(BString, Compares)
{
    BString a("abc"), b("abd");
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a == "abc");
    EXPECT_LT(a.Compare("abd"), 0);
    EXPECT_GT(b.Compare(a), 0);
    EXPECT_EQ(BString().Compare(nullptr), 0);
}

} // namespace
