#include "TestFiles.h"

#include <BitmapReading.h>
#include <LayerFormats.h>
#include <BitmapStream.h>
#include <File.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <set>

#include <sys/stat.h>

#include <QImage>
#include <QImageWriter>

namespace {

BTranslatorRoster* roster()
{
    return BTranslatorRoster::Default();
}

translator_id id_of(const char* name)
{
    translator_id id = -1;
    EXPECT_EQ(B_OK, roster()->FindTranslator(name, &id)) << name;
    return id;
}

// Encodes a copy-free view of bitmap through the roster; the stream never
// owns the caller's bitmap.
status_t encode(BBitmap* bitmap, translator_id id, BPositionIO* destination, uint32 type)
{
    BBitmapStream stream(bitmap);
    status_t status = roster()->Translate(id, &stream, nullptr, destination, type);
    BBitmap* back = nullptr;
    stream.DetachBitmap(&back);
    return status;
}

std::unique_ptr<BBitmap> round_trip(BBitmap* bitmap, const char* format,
                                    const ScratchFolder& folder)
{
    translator_id id = id_of(format);
    const translation_format* out = nullptr;
    int32 count = 0;
    EXPECT_EQ(B_OK, roster()->GetOutputFormats(id, &out, &count));
    std::string path = folder / (std::string("picture.") + format);
    BFile file(path.c_str(), B_WRITE_ONLY | B_CREATE_FILE | B_ERASE_FILE);
    EXPECT_EQ(B_OK, encode(bitmap, id, &file, out->type)) << format;
    file.Unset();
    return std::unique_ptr<BBitmap>(BTranslationUtils::GetBitmapFile(path.c_str()));
}

// --- The roster -------------------------------------------------------------

TEST(Roster, OneTranslatorPerFormatWithDistinctCodes)
{
    translator_id* list = nullptr;
    int32 count = 0;
    ASSERT_EQ(B_OK, roster()->GetAllTranslators(&list, &count));
    std::unique_ptr<translator_id[]> owned(list);
    ASSERT_GE(count, 5);
    std::set<uint32> codes;
    std::set<std::string> names;
    for (int32 i = 0; i < count; i++) {
        const char *name = nullptr, *info = nullptr;
        int32 version = 0;
        ASSERT_EQ(B_OK, roster()->GetTranslatorInfo(list[i], &name, &info, &version));
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_GT(version, 0);
        const translation_format* out = nullptr;
        int32 formats = 0;
        ASSERT_EQ(B_OK, roster()->GetOutputFormats(list[i], &out, &formats));
        ASSERT_EQ(1, formats);
        EXPECT_EQ(uint32(B_TRANSLATOR_BITMAP), out->group);
        EXPECT_TRUE(codes.insert(out->type).second);
        EXPECT_STREQ(name, out->name);
        EXPECT_EQ(0, std::strncmp(out->MIME, "image/", 6)) << out->MIME;
        const translation_format* in = nullptr;
        ASSERT_EQ(B_OK, roster()->GetInputFormats(list[i], &in, &formats));
        EXPECT_EQ(uint32(B_TRANSLATOR_BITMAP), in->type);
        translator_id again = -1;
        EXPECT_EQ(B_OK, roster()->FindTranslator(out->type, &again));
        EXPECT_EQ(list[i], again);
    }
    for (const char* icon : {"ico", "cur", "icns", "pbm", "xbm", "wbmp"}) {
        translator_id id;
        EXPECT_EQ(B_NO_TRANSLATOR, roster()->FindTranslator(icon, &id)) << icon;
    }
}

struct KnownFormat
{
    const char* name;
    const char* alias;
    uint32 type;
    const char* mime;
    const char* human;
};

void PrintTo(const KnownFormat& f, std::ostream* os)
{
    *os << f.name;
}

class RosterFormat : public testing::TestWithParam<KnownFormat>
{
};

TEST_P(RosterFormat, NamesCodeAndMime)
{
    const KnownFormat& f = GetParam();
    translator_id id = id_of(f.name);
    EXPECT_EQ(id, id_of(f.alias));
    translator_id byType = -1;
    EXPECT_EQ(B_OK, roster()->FindTranslator(f.type, &byType));
    EXPECT_EQ(id, byType);
    EXPECT_STREQ(f.name, roster()->ShortName(id));
    const translation_format* out = nullptr;
    int32 count = 0;
    ASSERT_EQ(B_OK, roster()->GetOutputFormats(id, &out, &count));
    EXPECT_STREQ(f.mime, out->MIME);
    EXPECT_STREQ(f.human, out->name);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RosterFormat,
    testing::Values(KnownFormat{"png", "PNG", B_PNG_FORMAT, "image/png", "PNG image"},
                    KnownFormat{"jpeg", "JPG", B_JPEG_FORMAT, "image/jpeg", "JPEG image"},
                    KnownFormat{"bmp", "Bmp", B_BMP_FORMAT, "image/bmp", "Windows BMP image"},
                    KnownFormat{"tiff", "tif", B_TIFF_FORMAT, "image/tiff", "TIFF image"},
                    KnownFormat{"webp", "WEBP", kWebpFormat, "image/webp", "WebP image"},
                    KnownFormat{"ppm", "PPM", B_PPM_FORMAT, "image/x-portable-pixmap",
                                "PPM image"}),
    [](const testing::TestParamInfo<KnownFormat>& info) { return std::string(info.param.name); });

TEST(Roster, UnknownIdsAndNames)
{
    for (translator_id id : {0, -1, 999}) {
        const char* name = nullptr;
        const translation_format* formats = nullptr;
        int32 count = 0;
        EXPECT_EQ(B_NO_TRANSLATOR, roster()->GetTranslatorInfo(id, &name, nullptr, nullptr));
        EXPECT_EQ(B_NO_TRANSLATOR, roster()->GetOutputFormats(id, &formats, &count));
        EXPECT_EQ(nullptr, roster()->ShortName(id));
    }
    translator_id id;
    EXPECT_EQ(B_NO_TRANSLATOR, roster()->FindTranslator("xyz", &id));
    EXPECT_EQ(B_NO_TRANSLATOR, roster()->FindTranslator(0x78797A20u, &id));
    EXPECT_EQ(B_BAD_VALUE, roster()->FindTranslator(static_cast<const char*>(nullptr), &id));
}

// --- Round trips ---------------------------------------------------------------

class LosslessRoundTrip : public testing::TestWithParam<const char*>
{
};

TEST_P(LosslessRoundTrip, EveryPixelBackOpaque)
{
    ScratchFolder folder;
    std::unique_ptr<BBitmap> original(make_colour_bitmap(37, 23));
    std::unique_ptr<BBitmap> back = round_trip(original.get(), GetParam(), folder);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(B_RGB32, back->ColorSpace());
    ASSERT_EQ(37, back->PixelWidth());
    ASSERT_EQ(23, back->PixelHeight());
    EXPECT_EQ(BRect(0, 0, 36, 22), back->Bounds());
    int mismatches = 0;
    for (int32 y = 0; y < 23; y++)
        for (int32 x = 0; x < 37; x++)
            mismatches += row_of(back.get(), y)[x] != (row_of(original.get(), y)[x] | 0xFF000000u);
    EXPECT_EQ(0, mismatches);
}

INSTANTIATE_TEST_SUITE_P(Formats, LosslessRoundTrip,
                         testing::Values("png", "bmp", "tiff", "ppm", "webp", "xpm"));

TEST(RoundTrip, PngKeepsAlphaOfRgba32)
{
    ScratchFolder folder;
    std::unique_ptr<BBitmap> original(make_colour_bitmap(19, 11, B_RGBA32, 0x80));
    row_of(original.get(), 0)[0] = 0x01020304;
    std::unique_ptr<BBitmap> back = round_trip(original.get(), "png", folder);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(B_RGBA32, back->ColorSpace());
    for (int32 y = 0; y < 11; y++)
        for (int32 x = 0; x < 19; x++)
            ASSERT_EQ(row_of(original.get(), y)[x], row_of(back.get(), y)[x]) << x << "," << y;
}

double mean_difference(BBitmap* a, BBitmap* b)
{
    double total = 0;
    int32 w = a->PixelWidth(), h = a->PixelHeight();
    for (int32 y = 0; y < h; y++) {
        for (int32 x = 0; x < w; x++) {
            uint32 p = row_of(a, y)[x], q = row_of(b, y)[x];
            for (int shift : {0, 8, 16})
                total += std::abs(int((p >> shift) & 0xFF) - int((q >> shift) & 0xFF));
        }
    }
    return total / (double(w) * h * 3);
}

TEST(RoundTrip, JpegStaysClose)
{
    ScratchFolder folder;
    std::unique_ptr<BBitmap> original(make_smooth_bitmap(64, 48));
    std::unique_ptr<BBitmap> jpeg = round_trip(original.get(), "jpeg", folder);
    ASSERT_NE(nullptr, jpeg);
    EXPECT_EQ(64, jpeg->PixelWidth());
    EXPECT_LT(mean_difference(original.get(), jpeg.get()), 3.0);
}

TEST(RoundTrip, PgmKeepsGreyLevelsExactly)
{
    ScratchFolder folder;
    std::unique_ptr<BBitmap> colour(make_colour_bitmap(21, 13));
    std::unique_ptr<BBitmap> back = round_trip(colour.get(), "pgm", folder);
    ASSERT_NE(nullptr, back);
    for (int32 y = 0; y < 13; y++) {
        for (int32 x = 0; x < 21; x++) {
            uint32 p = row_of(back.get(), y)[x];
            ASSERT_EQ(p & 0xFF, (p >> 8) & 0xFF);
            ASSERT_EQ(p & 0xFF, (p >> 16) & 0xFF);
            // Already grey pixels go through unchanged.
            uint32 v = uint32(x * 12 + y);
            row_of(colour.get(), y)[x] = 0xFF000000u | (v << 16) | (v << 8) | v;
        }
    }
    back = round_trip(colour.get(), "pgm", folder);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0.0, mean_difference(colour.get(), back.get()));
}

TEST(RoundTrip, Gray8EncodesAsGrey)
{
    ScratchFolder folder;
    BBitmap grey(BRect(0, 0, 9, 4), B_GRAY8); // rows padded from 10 to 12 bytes
    ASSERT_EQ(12, grey.BytesPerRow());
    for (int32 y = 0; y < 5; y++)
        for (int32 x = 0; x < 10; x++)
            static_cast<uint8*>(grey.Bits())[y * 12 + x] = uint8(x * 25 + y);
    std::unique_ptr<BBitmap> back = round_trip(&grey, "png", folder);
    ASSERT_NE(nullptr, back);
    for (int32 y = 0; y < 5; y++) {
        for (int32 x = 0; x < 10; x++) {
            uint32 v = uint32(x * 25 + y);
            ASSERT_EQ(0xFF000000u | (v << 16) | (v << 8) | v, row_of(back.get(), y)[x]);
        }
    }
}

// --- Translate refusals -----------------------------------------------------------

TEST(Translate, RefusesWhatItCannotDo)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(8, 8));
    translator_id png = id_of("png");
    BMallocIO out;
    EXPECT_EQ(B_NO_TRANSLATOR, encode(picture.get(), 999, &out, B_PNG_FORMAT));
    EXPECT_EQ(B_NO_TRANSLATOR, encode(picture.get(), 0, &out, B_PNG_FORMAT));
    EXPECT_EQ(B_NO_TRANSLATOR, encode(picture.get(), png, &out, B_JPEG_FORMAT));
    EXPECT_EQ(B_NO_TRANSLATOR, encode(picture.get(), png, &out, B_TRANSLATOR_BITMAP));

    BMallocIO notABitmap;
    notABitmap.Write("hello", 5);
    EXPECT_EQ(B_NO_TRANSLATOR, roster()->Translate(png, &notABitmap, nullptr, &out, B_PNG_FORMAT));
    BBitmapStream empty;
    EXPECT_EQ(B_BAD_VALUE, roster()->Translate(png, &empty, nullptr, &out, B_PNG_FORMAT));
    EXPECT_EQ(B_BAD_VALUE, roster()->Translate(png, nullptr, nullptr, &out, B_PNG_FORMAT));
    EXPECT_EQ(B_BAD_VALUE, encode(picture.get(), png, nullptr, B_PNG_FORMAT));

    BBitmapStream invalid(new BBitmap(BRect(0, 0, -5, -5), B_RGB32));
    EXPECT_EQ(B_BAD_VALUE, roster()->Translate(png, &invalid, nullptr, &out, B_PNG_FORMAT));
    BBitmapStream palette(new BBitmap(BRect(0, 0, 3, 3), B_CMAP8));
    EXPECT_EQ(B_BAD_VALUE, roster()->Translate(png, &palette, nullptr, &out, B_PNG_FORMAT));
    EXPECT_EQ(0u, out.BufferLength());

    EXPECT_EQ(B_OK, encode(picture.get(), png, &out, 0)); // 0: the translator's own type
    EXPECT_GT(out.BufferLength(), 8u);
}

TEST(Translate, ReportsAFailingDestination)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(64, 64));
    translator_id bmp = id_of("bmp");
    BFile full("/dev/full", B_WRITE_ONLY);
    EXPECT_EQ(B_DEVICE_FULL, encode(picture.get(), bmp, &full, B_BMP_FORMAT));
    ScratchFolder folder;
    std::string path = folder / "f";
    write_all(path, {'x'});
    BFile readOnly(path.c_str(), B_READ_ONLY);
    EXPECT_EQ(B_NOT_ALLOWED, encode(picture.get(), bmp, &readOnly, B_BMP_FORMAT));
    BFile closed;
    EXPECT_NE(B_OK, encode(picture.get(), bmp, &closed, B_BMP_FORMAT));
}

// --- BBitmapStream --------------------------------------------------------------

TEST(BitmapStream, SerialisesAndRebuilds)
{
    BBitmap* original = make_colour_bitmap(5, 3);
    BBitmapStream source(original);
    off_t size = 0;
    ASSERT_EQ(B_OK, source.GetSize(&size));
    EXPECT_EQ(32 + 5 * 4 * 3, size);
    std::vector<uint8> bytes(size_t(size) + 10);
    EXPECT_EQ(ssize_t(size), source.ReadAt(0, bytes.data(), bytes.size()));
    EXPECT_EQ(0x62, bytes[0]); // 'b' of 'bits', big-endian
    EXPECT_EQ(0x73, bytes[3]);

    BBitmapStream rebuilt;
    // In two pieces, the first ending inside the header.
    EXPECT_EQ(20, rebuilt.Write(bytes.data(), 20));
    EXPECT_EQ(ssize_t(size - 20), rebuilt.Write(bytes.data() + 20, size_t(size - 20)));
    BBitmap* copy = nullptr;
    ASSERT_EQ(B_OK, rebuilt.DetachBitmap(&copy));
    std::unique_ptr<BBitmap> owned(copy);
    EXPECT_EQ(original->Bounds(), copy->Bounds());
    EXPECT_EQ(0, std::memcmp(original->Bits(), copy->Bits(), size_t(original->BitsLength())));
    EXPECT_EQ(B_ERROR, rebuilt.DetachBitmap(&copy));
    EXPECT_EQ(B_NOT_ALLOWED, source.WriteAt(0, bytes.data(), 4));
}

TEST(BitmapStream, RefusesABadHeader)
{
    uint8 header[32] = {'n', 'o', 'p', 'e'};
    BBitmapStream stream;
    EXPECT_EQ(B_BAD_TYPE, stream.Write(header, sizeof(header)));
    BBitmap* none = nullptr;
    EXPECT_EQ(B_ERROR, stream.DetachBitmap(&none));
}

// --- Reading bad files ----------------------------------------------------------

uint32 crc32_of(const uint8* data, size_t size)
{
    uint32 crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put_be32(std::vector<uint8>& bytes, size_t at, uint32 value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + size_t(i)] = uint8(value >> (24 - 8 * i));
}

void put_le32(std::vector<uint8>& bytes, size_t at, uint32 value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + size_t(i)] = uint8(value >> (8 * i));
}

std::vector<uint8> encoded(const char* format)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(40, 30));
    BMallocIO out;
    translator_id id = id_of(format);
    EXPECT_EQ(B_OK, encode(picture.get(), id, &out, 0));
    const uint8* data = static_cast<const uint8*>(out.Buffer());
    return std::vector<uint8>(data, data + out.BufferLength());
}

struct BadInput
{
    const char* label;
    // Makes the file at path; returns the path to read (may differ).
    std::string (*make)(const ScratchFolder& folder);
    status_t status;
};

std::string file_with(const ScratchFolder& folder, const std::vector<uint8>& bytes)
{
    std::string path = folder / "input";
    write_all(path, bytes);
    return path;
}

const BadInput kBadInputs[] = {
    {"Missing", [](const ScratchFolder& f) { return f / "missing.png"; }, B_ENTRY_NOT_FOUND},
    {"Folder", [](const ScratchFolder& f) { return f.Path(); }, B_IS_A_DIRECTORY},
    {"Empty", [](const ScratchFolder& f) { return file_with(f, {}); }, B_NO_TRANSLATOR},
    {"Text",
     [](const ScratchFolder& f) {
         std::string text = "depth map goes here\n";
         return file_with(f, std::vector<uint8>(text.begin(), text.end()));
     },
     B_NO_TRANSLATOR},
    {"PngHalf",
     [](const ScratchFolder& f) {
         std::vector<uint8> png = encoded("png");
         png.resize(png.size() / 2);
         return file_with(f, png);
     },
     B_ILLEGAL_DATA},
    {"PngHeaderOnly",
     [](const ScratchFolder& f) {
         std::vector<uint8> png = encoded("png");
         png.resize(33); // signature and IHDR, no pixel data
         return file_with(f, png);
     },
     B_ILLEGAL_DATA},
    {"PngFlippedBytes",
     [](const ScratchFolder& f) {
         std::vector<uint8> png = encoded("png");
         for (size_t i = 41; i < png.size(); i += 7)
             png[i] = uint8(~png[i]);
         return file_with(f, png);
     },
     B_ILLEGAL_DATA},
    {"PngHugeSize",
     [](const ScratchFolder& f) {
         // 100000 x 100000 announced by an IHDR whose CRC is right.
         std::vector<uint8> png = encoded("png");
         put_be32(png, 16, 100000);
         put_be32(png, 20, 100000);
         put_be32(png, 29, crc32_of(png.data() + 12, 17));
         return file_with(f, png);
     },
     B_NO_MEMORY},
    {"PngJustOverTheBitmapCap",
     [](const ScratchFolder& f) {
         std::vector<uint8> png = encoded("png");
         put_be32(png, 16, 23171); // 23171^2 * 4 bytes > INT32_MAX
         put_be32(png, 20, 23171);
         put_be32(png, 29, crc32_of(png.data() + 12, 17));
         return file_with(f, png);
     },
     B_NO_MEMORY},
    {"BmpTruncated",
     [](const ScratchFolder& f) {
         std::vector<uint8> bmp = encoded("bmp");
         bmp.resize(bmp.size() - 7);
         return file_with(f, bmp);
     },
     B_ILLEGAL_DATA},
    {"TiffTruncated",
     [](const ScratchFolder& f) {
         std::vector<uint8> tiff = encoded("tiff");
         tiff.resize(tiff.size() / 2);
         return file_with(f, tiff);
     },
     B_ILLEGAL_DATA},
    {"BmpHugeWidth",
     [](const ScratchFolder& f) {
         std::vector<uint8> bmp = encoded("bmp");
         put_le32(bmp, 18, 0x7FFFFFFF);
         return file_with(f, bmp);
     },
     B_NO_MEMORY}, // over the reading budget before anything is read
    {"Fifo",
     [](const ScratchFolder& f) {
         std::string path = f / "pipe";
         mkfifo(path.c_str(), 0600);
         return path;
     },
     B_BAD_TYPE},
    {"Device", [](const ScratchFolder&) { return std::string("/dev/zero"); }, B_BAD_TYPE},
};

void PrintTo(const BadInput& b, std::ostream* os)
{
    *os << b.label;
}

class BadFile : public testing::TestWithParam<BadInput>
{
};

TEST_P(BadFile, GivesNoBitmap)
{
    ScratchFolder folder;
    std::string path = GetParam().make(folder);
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(GetParam().status, BTranslationUtils::ReadBitmapFile(path.c_str(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    EXPECT_EQ(nullptr, BTranslationUtils::GetBitmapFile(path.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Inputs, BadFile, testing::ValuesIn(kBadInputs),
                         [](const testing::TestParamInfo<BadInput>& info) {
                             return std::string(info.param.label);
                         });

TEST(ReadFile, NullPath)
{
    EXPECT_EQ(nullptr, BTranslationUtils::GetBitmapFile(nullptr));
    EXPECT_EQ(nullptr, BTranslationUtils::GetBitmap(nullptr));
    BBitmap* bitmap = nullptr;
    EXPECT_EQ(B_BAD_VALUE, BTranslationUtils::ReadBitmapFile(nullptr, &bitmap));
    EXPECT_EQ(B_BAD_VALUE, BTranslationUtils::ReadBitmapFile("x", nullptr));
}

TEST(ReadFile, FormatComesFromContentNotName)
{
    ScratchFolder folder;
    std::string path = folder / "really-a-bmp.png";
    write_all(path, encoded("bmp"));
    std::unique_ptr<BBitmap> bitmap(BTranslationUtils::GetBitmapFile(path.c_str()));
    ASSERT_NE(nullptr, bitmap);
    EXPECT_EQ(40, bitmap->PixelWidth());
    EXPECT_EQ(30, bitmap->PixelHeight());
}

// The same bytes read from memory give the same picture as from a file, and
// the same refusals.
TEST(ReadData, MatchesTheFileReader)
{
    for (const char* format : {"png", "bmp", "tiff"}) {
        std::vector<uint8> bytes = encoded(format);
        BBitmap* bitmap = nullptr;
        ASSERT_EQ(B_OK, read_bitmap_data(bytes.data(), bytes.size(), nullptr, &bitmap)) << format;
        std::unique_ptr<BBitmap> owned(bitmap);
        std::unique_ptr<BBitmap> original(make_colour_bitmap(40, 30));
        ASSERT_EQ(original->Bounds(), bitmap->Bounds()) << format;
        for (int32 y = 0; y < 30; y++)
            for (int32 x = 0; x < 40; x++)
                ASSERT_EQ(row_of(original.get(), y)[x] | 0xFF000000u, row_of(bitmap, y)[x])
                    << format << " " << x << "," << y;
    }
    std::vector<uint8> half = encoded("png");
    half.resize(half.size() / 2);
    const char text[] = "depth map goes here";
    struct
    {
        const void* data;
        size_t size;
        status_t status;
    } refusals[] = {
        {nullptr, 0, B_NO_TRANSLATOR},
        {nullptr, 5, B_BAD_VALUE},
        {text, sizeof(text), B_NO_TRANSLATOR},
        {half.data(), half.size(), B_ILLEGAL_DATA},
    };
    for (const auto& r : refusals) {
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        EXPECT_EQ(r.status, read_bitmap_data(r.data, r.size, "x.png", &bitmap)) << r.size;
        EXPECT_EQ(nullptr, bitmap);
    }
    EXPECT_EQ(B_BAD_VALUE, read_bitmap_data(text, sizeof(text), nullptr, nullptr));
}

} // namespace

// --- What a viewer shows ----------------------------------------------------

namespace {

// Two 2 x 1 frames, red then blue, LZW-coded by hand.
const std::vector<uint8> kTwoFrameGif = {
    'G',  'I',  'F',  '8',  '9',  'a',  2, 0, 1, 0, 0x80, 0, 0, // screen, 2-colour table
    0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF,                         // red, blue
    0x2C, 0,    0,    0,    0,    2,    0, 1, 0, 0, 2,    2, 0x04, 0x0A, 0, // frame 1: index 0
    0x2C, 0,    0,    0,    0,    2,    0, 1, 0, 0, 2,    2, 0x4C, 0x0A, 0, // frame 2: index 1
    0x3B};

} // namespace

TEST(Reading, AnAnimationGivesItsFirstFrame)
{
    ScratchFolder folder;
    std::string path = folder / "two.gif";
    write_all(path, kTwoFrameGif);
    std::unique_ptr<BBitmap> bitmap(BTranslationUtils::GetBitmapFile(path.c_str()));
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->Bounds(), BRect(0, 0, 1, 0));
    EXPECT_EQ(row_of(bitmap.get(), 0)[0] & 0x00FFFFFF, 0x00FF0000u);
    EXPECT_EQ(row_of(bitmap.get(), 0)[1] & 0x00FFFFFF, 0x00FF0000u);
}

namespace {

// A 3 x 1 screen with a 1 x 1 frame at its middle, index 0 of a red, blue
// table; the screen's flags, background index, a transparent index (or -1)
// and whether the frame brings its own table vary.
std::vector<uint8> small_frame_gif(bool globalTable, uint8 background, int transparent)
{
    std::vector<uint8> gif = {'G', 'I', 'F', '8', '9', 'a', 3, 0, 1, 0,
                              uint8(globalTable ? 0x80 : 0), background, 0};
    const uint8 table[] = {0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF};
    if (globalTable)
        gif.insert(gif.end(), table, table + 6);
    if (transparent >= 0)
        gif.insert(gif.end(), {0x21, 0xF9, 4, 0x01, 0, 0, uint8(transparent), 0});
    gif.insert(gif.end(), {0x2C, 1, 0, 0, 0, 1, 0, 1, 0, uint8(globalTable ? 0 : 0x80)});
    if (!globalTable)
        gif.insert(gif.end(), table, table + 6);
    // Clear, index 0, end, in 3-bit codes.
    gif.insert(gif.end(), {2, 2, 0x44, 0x01, 0, 0x3B});
    return gif;
}

} // namespace

// Around a frame smaller than the screen other decoders show the global
// table's background colour; with nothing to show there (a transparent
// colour, no global table, an index past the table) it stays transparent.
TEST(Reading, GifScreenAroundASmallFrame)
{
    const struct
    {
        const char* name;
        bool globalTable;
        uint8 background;
        int transparent;
        uint32 around;
    } cases[] = {
        {"background blue", true, 1, -1, 0xFF0000FFu},
        {"background red", true, 0, -1, 0xFFFF0000u},
        {"background past the table", true, 7, -1, 0x00000000u},
        {"transparent colour", true, 1, 1, 0x00000000u},
        {"no global table", false, 1, -1, 0x00000000u},
    };
    for (const auto& c : cases) {
        std::vector<uint8> gif = small_frame_gif(c.globalTable, c.background, c.transparent);
        BBitmap* read = nullptr;
        ASSERT_EQ(B_OK, read_bitmap_data(gif.data(), gif.size(), "x.gif", &read)) << c.name;
        std::unique_ptr<BBitmap> bitmap(read);
        ASSERT_EQ(bitmap->Bounds(), BRect(0, 0, 2, 0)) << c.name;
        const uint32* row = row_of(bitmap.get(), 0);
        EXPECT_EQ(0xFFFF0000u, row[1]) << c.name;
        for (int x : {0, 2}) {
            if (c.around >> 24 == 0)
                EXPECT_EQ(0u, row[x] >> 24) << c.name << " " << x;
            else
                EXPECT_EQ(c.around, row[x]) << c.name << " " << x;
        }
    }
}

// A camera's picture taken sideways is shown upright, as viewers show it.
TEST(Reading, ExifOrientationIsApplied)
{
    ScratchFolder folder;
    std::string path = folder / "sideways.jpg";
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 10; x++)
            image.setPixel(x, y, qRgb(0, 0, 0)); // a black band on the left
    QImageWriter writer(QString::fromStdString(path), "jpeg");
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    writer.setQuality(100);
    ASSERT_TRUE(writer.write(image));

    std::unique_ptr<BBitmap> bitmap(BTranslationUtils::GetBitmapFile(path.c_str()));
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->Bounds(), BRect(0, 0, 19, 39));
    // Turned a quarter clockwise, the left band is now along the top.
    EXPECT_LT(row_of(bitmap.get(), 2)[10] & 0xFF, 0x40u);
    EXPECT_GT(row_of(bitmap.get(), 30)[10] & 0xFF, 0xC0u);
}

// A 16-bit BMP with a one-bit alpha mask (ARGB 1-5-5-5), V4 header: the bit
// means opaque or transparent, never half; a picture whose every bit is
// clear left the bit unused and is opaque.
std::vector<uint8> argb1555_bmp(uint16 first, uint16 second)
{
    std::vector<uint8> b(14 + 108 + 4, 0);
    auto put32 = [&](size_t at, uint32 v) {
        for (int i = 0; i < 4; i++)
            b[at + i] = uint8(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, uint32(b.size()));
    put32(10, 14 + 108);
    put32(14, 108);
    put32(18, 2);
    put32(22, 1);
    put32(26, 1 | 16u << 16);
    put32(30, 3);
    put32(34, 4);
    put32(54, 0x7C00);
    put32(58, 0x03E0);
    put32(62, 0x001F);
    put32(66, 0x8000);
    put32(70, 0x73524742); // 'sRGB'
    b[122] = uint8(first);
    b[123] = uint8(first >> 8);
    b[124] = uint8(second);
    b[125] = uint8(second >> 8);
    return b;
}

TEST(Reading, BmpOneBitAlpha)
{
    const struct
    {
        const char* name;
        uint16 first, second;
        uint32 expected[2];
    } cases[] = {
        {"set and clear", 0xFC00, 0x001F, {0xFFFF0000u, 0x000000FFu}},
        {"all clear", 0x7C00, 0x001F, {0xFFFF0000u, 0xFF0000FFu}},
        {"all set", 0x83E0, 0x801F, {0xFF00FF00u, 0xFF0000FFu}},
    };
    for (const auto& c : cases) {
        std::vector<uint8> bmp = argb1555_bmp(c.first, c.second);
        BBitmap* read = nullptr;
        ASSERT_EQ(B_OK, read_bitmap_data(bmp.data(), bmp.size(), "x.bmp", &read)) << c.name;
        std::unique_ptr<BBitmap> bitmap(read);
        const uint32* row = row_of(bitmap.get(), 0);
        for (int x = 0; x < 2; x++) {
            if (c.expected[x] >> 24 == 0)
                EXPECT_EQ(0u, row[x] >> 24) << c.name << " " << x;
            else
                EXPECT_EQ(c.expected[x], row[x]) << c.name << " " << x;
        }
    }
}
