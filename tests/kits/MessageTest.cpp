#include <Message.h>
#include <Path.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct FindCase
{
    const char* label;
    const char* name;
    int32 index;
    status_t expected;
};

// One message with an int32 "count" (two values), a string "label" and a
// point "where"; every lookup below asks it for an int32.
BMessage sample_message()
{
    BMessage message('TEST');
    message.AddInt32("count", 7);
    message.AddInt32("count", 9);
    message.AddString("label", "seven");
    message.AddPoint("where", BPoint(3, 4));
    return message;
}

void PrintTo(const FindCase& c, std::ostream* os)
{
    *os << c.label;
}

class MessageFindInt32 : public ::testing::TestWithParam<FindCase>
{
};

TEST_P(MessageFindInt32, ReportsWhyALookupFails)
{
    const FindCase& c = GetParam();
    BMessage message = sample_message();
    int32 value = -1;
    EXPECT_EQ(message.FindInt32(c.name, c.index, &value), c.expected);
    if (c.expected != B_OK) {
        EXPECT_EQ(value, -1) << "a failed lookup must leave the output alone";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MessageFindInt32,
                         ::testing::Values(FindCase{"first", "count", 0, B_OK},
                                           FindCase{"second", "count", 1, B_OK},
                                           FindCase{"pastEnd", "count", 2, B_BAD_INDEX},
                                           FindCase{"negative", "count", -1, B_BAD_INDEX},
                                           FindCase{"missing", "absent", 0, B_NAME_NOT_FOUND},
                                           FindCase{"nullName", nullptr, 0, B_NAME_NOT_FOUND},
                                           FindCase{"string", "label", 0, B_BAD_TYPE},
                                           FindCase{"point", "where", 0, B_BAD_TYPE}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Message, OtherTypesRejectFieldsOfAnotherType)
{
    BMessage message = sample_message();
    const char* text = nullptr;
    BPoint point;
    entry_ref ref;
    EXPECT_EQ(message.FindString("count", &text), B_BAD_TYPE);
    EXPECT_EQ(message.FindPoint("label", &point), B_BAD_TYPE);
    EXPECT_EQ(message.FindRef("where", &ref), B_BAD_TYPE);
    EXPECT_EQ(message.FindRef("refs", &ref), B_NAME_NOT_FOUND);
    EXPECT_EQ(message.FindString("label", &text), B_OK);
    EXPECT_STREQ(text, "seven");
    EXPECT_EQ(message.FindPoint("where", &point), B_OK);
    EXPECT_EQ(point, BPoint(3, 4));
}

TEST(Message, AddingAnotherTypeUnderAUsedNameFails)
{
    BMessage message = sample_message();
    EXPECT_EQ(message.AddString("count", "x"), B_BAD_TYPE);
    type_code type = 0;
    int32 count = 0;
    ASSERT_EQ(message.GetInfo("count", &type, &count), B_OK);
    EXPECT_EQ(type, B_INT32_TYPE);
    EXPECT_EQ(count, 2);
}

TEST(Message, RepeatedRefsKeepTheirOrder)
{
    BMessage message(B_SIMPLE_DATA);
    const char* paths[] = {"/tmp/a.png", "/tmp/b.png", "/tmp/c d.png"};
    for (const char* path : paths) {
        entry_ref ref(path);
        ASSERT_EQ(message.AddRef("refs", &ref), B_OK);
    }
    for (int32 i = 0; i < 3; i++) {
        entry_ref ref;
        ASSERT_EQ(message.FindRef("refs", i, &ref), B_OK);
        EXPECT_STREQ(BPath(&ref).Path(), paths[i]);
    }
    entry_ref ref;
    EXPECT_EQ(message.FindRef("refs", 3, &ref), B_BAD_INDEX);
}

TEST(Message, CopiesAreIndependent)
{
    BMessage inner('INNR');
    inner.AddInt32("depth", 1);
    BMessage original = sample_message();
    original.AddMessage("inner", &inner);

    BMessage copy(original);
    BMessage assigned;
    assigned = original;
    copy.ReplaceInt32("count", 100);
    copy.ReplaceString("label", "changed");
    assigned.AddInt32("count", 11);
    original.MakeEmpty();

    int32 value = 0;
    EXPECT_TRUE(original.IsEmpty());
    ASSERT_EQ(copy.FindInt32("count", &value), B_OK);
    EXPECT_EQ(value, 100);
    ASSERT_EQ(assigned.FindInt32("count", 0, &value), B_OK);
    EXPECT_EQ(value, 7);
    int32 count = 0;
    type_code type = 0;
    assigned.GetInfo("count", &type, &count);
    EXPECT_EQ(count, 3);
    const char* label = nullptr;
    ASSERT_EQ(assigned.FindString("label", &label), B_OK);
    EXPECT_STREQ(label, "seven");

    BMessage nested;
    ASSERT_EQ(copy.FindMessage("inner", &nested), B_OK);
    EXPECT_EQ(nested.what, uint32('INNR'));
    EXPECT_EQ(nested.FindInt32("depth", &value), B_OK);
    EXPECT_EQ(value, 1);
}

} // namespace
