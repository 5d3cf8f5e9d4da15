// The values that files and callers see, written down from the platform's
// own numbers rather than read back from our headers: a header that drifts
// from the platform fails here.
#include <AppDefs.h>
#include <Errors.h>
#include <Font.h>
#include <GraphicsDefs.h>
#include <StorageDefs.h>
#include <TranslationUtils.h>
#include <TranslatorFormats.h>
#include <TypeConstants.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

namespace {

struct PlatformValue
{
    const char* name;
    int64_t ours;
    int64_t platform;
};

void PrintTo(const PlatformValue& v, std::ostream* os)
{
    *os << v.name;
}

constexpr int64_t kGeneral = INT32_MIN;
constexpr int64_t kOS = kGeneral + 0x1000;
constexpr int64_t kApp = kGeneral + 0x2000;
constexpr int64_t kTranslation = kGeneral + 0x4800;
constexpr int64_t kStorage = kGeneral + 0x6000;

#define VALUE(name, platform) PlatformValue{#name, int64_t(name), int64_t(platform)}

const PlatformValue kColorSpaces[] = {
    VALUE(B_GRAY1, 0x0001), VALUE(B_GRAY8, 0x0002), VALUE(B_RGB24, 0x0003),
    VALUE(B_CMAP8, 0x0004), VALUE(B_RGB16, 0x0005), VALUE(B_RGB32, 0x0008),
    VALUE(B_RGB15, 0x0010), VALUE(B_RGBA32, 0x2008),
};

const PlatformValue kErrors[] = {
    VALUE(B_OK, 0),
    VALUE(B_ERROR, -1),
    VALUE(B_GENERAL_ERROR_BASE, kGeneral),
    VALUE(B_OS_ERROR_BASE, kOS),
    VALUE(B_APP_ERROR_BASE, kApp),
    VALUE(B_INTERFACE_ERROR_BASE, kGeneral + 0x3000),
    VALUE(B_TRANSLATION_ERROR_BASE, kTranslation),
    VALUE(B_STORAGE_ERROR_BASE, kStorage),
    VALUE(B_NO_MEMORY, kGeneral + 0),
    VALUE(B_IO_ERROR, kGeneral + 1),
    VALUE(B_PERMISSION_DENIED, kGeneral + 2),
    VALUE(B_BAD_INDEX, kGeneral + 3),
    VALUE(B_BAD_TYPE, kGeneral + 4),
    VALUE(B_BAD_VALUE, kGeneral + 5),
    VALUE(B_MISMATCHED_VALUES, kGeneral + 6),
    VALUE(B_NAME_NOT_FOUND, kGeneral + 7),
    VALUE(B_NAME_IN_USE, kGeneral + 8),
    VALUE(B_TIMED_OUT, kGeneral + 9),
    VALUE(B_INTERRUPTED, kGeneral + 10),
    VALUE(B_WOULD_BLOCK, kGeneral + 11),
    VALUE(B_CANCELED, kGeneral + 12),
    VALUE(B_NO_INIT, kGeneral + 13),
    VALUE(B_BUSY, kGeneral + 14),
    VALUE(B_NOT_ALLOWED, kGeneral + 15),
    VALUE(B_BAD_DATA, kGeneral + 16),
    VALUE(B_BAD_PORT_ID, kOS + 0x200),
    VALUE(B_BAD_REPLY, kApp + 0),
    VALUE(B_DUPLICATE_REPLY, kApp + 1),
    VALUE(B_MESSAGE_TO_SELF, kApp + 2),
    VALUE(B_BAD_HANDLER, kApp + 3),
    VALUE(B_ALREADY_RUNNING, kApp + 4),
    VALUE(B_NO_TRANSLATOR, kTranslation + 0),
    VALUE(B_ILLEGAL_DATA, kTranslation + 1),
    VALUE(B_FILE_ERROR, kStorage + 0),
    VALUE(B_FILE_NOT_FOUND, kStorage + 1),
    VALUE(B_FILE_EXISTS, kStorage + 2),
    VALUE(B_ENTRY_NOT_FOUND, kStorage + 3),
    VALUE(B_NAME_TOO_LONG, kStorage + 4),
    VALUE(B_NOT_A_DIRECTORY, kStorage + 5),
    VALUE(B_DIRECTORY_NOT_EMPTY, kStorage + 6),
    VALUE(B_DEVICE_FULL, kStorage + 7),
    VALUE(B_READ_ONLY_DEVICE, kStorage + 8),
    VALUE(B_IS_A_DIRECTORY, kStorage + 9),
    VALUE(B_NO_MORE_FDS, kStorage + 10),
    VALUE(B_CROSS_DEVICE_LINK, kStorage + 11),
    VALUE(B_LINK_LIMIT, kStorage + 12),
    VALUE(B_BUSTED_PIPE, kStorage + 13),
    VALUE(B_UNSUPPORTED, kStorage + 14),
};

// Four-character codes as big-endian words: 'DATA' is 0x44415441.
const PlatformValue kMessageCodes[] = {
    VALUE(B_SIMPLE_DATA, 0x44415441),      VALUE(B_QUIT_REQUESTED, 0x5f515251),
    VALUE(B_ABOUT_REQUESTED, 0x5f414252),  VALUE(B_READY_TO_RUN, 0x5f525452),
    VALUE(B_REFS_RECEIVED, 0x5f525243),    VALUE(B_CANCEL, 0x5f434e43),
    VALUE(B_SAVE_REQUESTED, 0x5f535652),   VALUE(B_KEY_DOWN, 0x5f4b5944),
    VALUE(B_MESSAGE_NOT_UNDERSTOOD, 0x5f4d4e55), VALUE(B_NO_REPLY, 0x5f4e5250),
    VALUE(B_TRANSLATION_MENU, 0x42544d4e),
};

const PlatformValue kTypeCodes[] = {
    VALUE(B_ANY_TYPE, 0x414e5954),     VALUE(B_BOOL_TYPE, 0x424f4f4c),
    VALUE(B_FLOAT_TYPE, 0x464c4f54),   VALUE(B_INT32_TYPE, 0x4c4f4e47),
    VALUE(B_INT64_TYPE, 0x4c4c4e47),   VALUE(B_MESSAGE_TYPE, 0x4d534747),
    VALUE(B_POINT_TYPE, 0x42504e54),   VALUE(B_POINTER_TYPE, 0x504e5452),
    VALUE(B_RECT_TYPE, 0x52454354),    VALUE(B_REF_TYPE, 0x52524546),
    VALUE(B_STRING_TYPE, 0x43535452),  VALUE(B_RAW_TYPE, 0x52415754),
    VALUE(B_MIME_TYPE, 0x4d494d45),    VALUE(B_TRANSLATOR_BITMAP, 0x62697473),
    VALUE(B_PNG_FORMAT, 0x504e4720),   VALUE(B_JPEG_FORMAT, 0x4a504547),
    VALUE(B_BMP_FORMAT, 0x424d5020),   VALUE(B_TIFF_FORMAT, 0x54494646),
    VALUE(B_PPM_FORMAT, 0x50504d20),
};

const PlatformValue kOpenModes[] = {
    VALUE(B_READ_ONLY, 0x0000),      VALUE(B_WRITE_ONLY, 0x0001),
    VALUE(B_READ_WRITE, 0x0002),     VALUE(B_FAIL_IF_EXISTS, 0x0100),
    VALUE(B_CREATE_FILE, 0x0200),    VALUE(B_ERASE_FILE, 0x0400),
    VALUE(B_OPEN_AT_END, 0x0800),    VALUE(B_FILE_NAME_LENGTH, 256),
    VALUE(B_PATH_NAME_LENGTH, 1024),
};

const PlatformValue kFontValues[] = {
    VALUE(B_ITALIC_FACE, 0x0001),          VALUE(B_UNDERSCORE_FACE, 0x0002),
    VALUE(B_NEGATIVE_FACE, 0x0004),        VALUE(B_OUTLINED_FACE, 0x0008),
    VALUE(B_STRIKEOUT_FACE, 0x0010),       VALUE(B_BOLD_FACE, 0x0020),
    VALUE(B_REGULAR_FACE, 0x0040),         VALUE(B_DISABLE_ANTIALIASING, 0x0001),
    VALUE(B_FORCE_ANTIALIASING, 0x0002),   VALUE(B_FONT_FAMILY_AND_STYLE, 0x0001),
    VALUE(B_FONT_SIZE, 0x0002),            VALUE(B_FONT_SHEAR, 0x0004),
    VALUE(B_FONT_ROTATION, 0x0008),        VALUE(B_FONT_SPACING, 0x0010),
    VALUE(B_FONT_ENCODING, 0x0020),        VALUE(B_FONT_FACE, 0x0040),
    VALUE(B_FONT_FLAGS, 0x0080),           VALUE(B_FONT_ALL, 0x00FF),
    VALUE(B_FONT_FAMILY_LENGTH, 63),       VALUE(B_FONT_STYLE_LENGTH, 63),
};

#undef VALUE

class PlatformValues : public testing::TestWithParam<PlatformValue>
{
};

TEST_P(PlatformValues, AreThePlatforms)
{
    EXPECT_EQ(GetParam().ours, GetParam().platform) << GetParam().name;
}

std::string name_of(const testing::TestParamInfo<PlatformValue>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(ColorSpaces, PlatformValues, testing::ValuesIn(kColorSpaces), name_of);
INSTANTIATE_TEST_SUITE_P(Errors, PlatformValues, testing::ValuesIn(kErrors), name_of);
INSTANTIATE_TEST_SUITE_P(MessageCodes, PlatformValues, testing::ValuesIn(kMessageCodes), name_of);
INSTANTIATE_TEST_SUITE_P(TypeCodes, PlatformValues, testing::ValuesIn(kTypeCodes), name_of);
INSTANTIATE_TEST_SUITE_P(OpenModes, PlatformValues, testing::ValuesIn(kOpenModes), name_of);
INSTANTIATE_TEST_SUITE_P(Fonts, PlatformValues, testing::ValuesIn(kFontValues), name_of);

} // namespace
