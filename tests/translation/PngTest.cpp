// The PNG translator: every kind of PNG read as Qt's reader read it, files
// written that libpng and Qt decode to the same pixels, and damaged files
// refused.
#include "TestFiles.h"

#include <BitmapReading.h>
#include <DataIO.h>
#include <PngTranslator.h>

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <QImage>

#include <cstring>
#include <memory>
#include <string>

namespace {

using BPrivate::png_deflate;
using BPrivate::PngWriteOptions;

const std::string kData = PELLARA_TEST_DATA "/png/";

BPrivate::ImageSource source_of(const std::vector<uint8>& bytes)
{
    BPrivate::ImageSource source;
    source.data = bytes.data();
    source.size = bytes.size();
    source.extension = "png";
    return source;
}

status_t read_png(const std::vector<uint8>& bytes, std::unique_ptr<BBitmap>* out,
                  const BPrivate::ReadBudget& budget = BPrivate::ReadBudget())
{
    BBitmap* bitmap = nullptr;
    status_t status = BPrivate::png_translator()->Read(source_of(bytes), budget, &bitmap);
    out->reset(bitmap);
    return status;
}

// The file without its chunks of one type (their neighbours' CRCs stay
// right: each covers its own chunk only).
std::vector<uint8> without_chunk(const std::vector<uint8>& png, const char* type)
{
    std::vector<uint8> out(png.begin(), png.begin() + 8);
    for (size_t at = 8; at + 12 <= png.size();) {
        const size_t length = (size_t(png[at]) << 24) | (size_t(png[at + 1]) << 16) |
                              (size_t(png[at + 2]) << 8) | png[at + 3];
        const size_t end = std::min(png.size(), at + 12 + length);
        if (std::memcmp(png.data() + at + 4, type, 4) != 0)
            out.insert(out.end(), png.begin() + long(at), png.begin() + long(end));
        at = end;
    }
    return out;
}

class PngReading : public testing::TestWithParam<const char*>
{
};

// Grey, palette, 16-bit, transparency and interlaced files as Qt's reader
// gave them: same words, same choice of alpha; but a transparent pixel
// keeps its stored colour, which Qt's reader drops for grey files with a
// transparent level (the colour is the file's without its tRNS chunk).
TEST_P(PngReading, GivesWhatQtGave)
{
    std::string path = kData + GetParam();
    std::vector<uint8> bytes = read_all(path);
    ASSERT_FALSE(bytes.empty()) << path;
    std::unique_ptr<BBitmap> ours;
    ASSERT_EQ(B_OK, read_png(bytes, &ours));
    QImage theirs(QString::fromStdString(path));
    ASSERT_FALSE(theirs.isNull());
    EXPECT_EQ(theirs.hasAlphaChannel() ? B_RGBA32 : B_RGB32, ours->ColorSpace());
    theirs = theirs.convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(theirs.width(), ours->PixelWidth());
    ASSERT_EQ(theirs.height(), ours->PixelHeight());
    const std::vector<uint8> opaque = without_chunk(bytes, "tRNS");
    QImage colours = QImage::fromData(opaque.data(), int(opaque.size()))
                         .convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(theirs.size(), colours.size());
    for (int y = 0; y < theirs.height(); y++) {
        const uint32* expected = reinterpret_cast<const uint32*>(theirs.constScanLine(y));
        const uint32* stored = reinterpret_cast<const uint32*>(colours.constScanLine(y));
        for (int x = 0; x < theirs.width(); x++) {
            const uint32 want =
                (expected[x] >> 24) == 0 ? stored[x] & 0x00FFFFFFu : expected[x];
            ASSERT_EQ(want, row_of(ours.get(), y)[x]) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PngReading,
    testing::Values("grey1.png", "grey2.png", "grey4.png", "grey8.png", "grey16.png",
                    "grey8-trns.png", "grey4-trns.png", "grey16-trns.png", "greyalpha8.png", "greyalpha16.png", "rgb8.png",
                    "rgb16.png", "rgb8-trns.png", "rgba8.png", "rgba16.png", "palette1.png",
                    "palette2.png", "palette4.png", "palette8.png", "palette8-trns.png",
                    "interlaced-grey8.png", "interlaced-rgb8.png", "interlaced-rgba16.png",
                    "interlaced-palette4.png"),
    [](const testing::TestParamInfo<const char*>& info) {
        std::string name = info.param;
        name = name.substr(0, name.size() - 4);
        for (char& c : name)
            if (c == '-')
                c = '_';
        return name;
    });

// A 16-bit colour picture's transparent colour is matched on all 16 bits of
// each sample, and the other pixels are opaque. (Qt's reader got such
// pictures wrong: every pixel half transparent, channels shifted.) The file's
// rows are unfiltered, so its samples are read here straight from the
// inflated data.
TEST(PngReadingTransparency, SixteenBitColourKeyMatchesExactly)
{
    std::vector<uint8> file = read_all(kData + "rgb16-trns.png");
    std::unique_ptr<BBitmap> ours;
    ASSERT_EQ(B_OK, read_png(file, &ours));
    ASSERT_EQ(B_RGBA32, ours->ColorSpace());
    const int32 width = ours->PixelWidth(), height = ours->PixelHeight();
    size_t idat = 0;
    for (size_t at = 8; at + 8 <= file.size(); at++)
        if (std::memcmp(file.data() + at, "IDAT", 4) == 0)
            idat = at;
    ASSERT_GT(idat, 0u);
    uLongf rawLength = uLongf(height) * (1 + 6 * uLongf(width));
    std::vector<uint8> raw(rawLength);
    uLong packedLength = (uLong(file[idat - 4]) << 24) | (uLong(file[idat - 3]) << 16) |
                         (uLong(file[idat - 2]) << 8) | file[idat - 1];
    ASSERT_EQ(Z_OK, uncompress(raw.data(), &rawLength, file.data() + idat + 4, packedLength));
    auto to8 = [](uint32 v) { return (v + 128 - ((v + 128) >> 8)) >> 8; };
    int transparent = 0;
    for (int32 y = 0; y < height; y++) {
        for (int32 x = 0; x < width; x++) {
            const uint8* s = raw.data() + size_t(y) * (1 + 6 * size_t(width)) + 1 + 6 * size_t(x);
            uint32 r = (uint32(s[0]) << 8) | s[1], g = (uint32(s[2]) << 8) | s[3],
                   b = (uint32(s[4]) << 8) | s[5];
            bool key = r == 0x8000 && g == 0x1234 && b == 0xFFFF;
            uint32 expected = (key ? 0u : 0xFF000000u) | (to8(r) << 16) | (to8(g) << 8) | to8(b);
            ASSERT_EQ(expected, row_of(ours.get(), y)[x]) << x << "," << y;
            transparent += key;
        }
    }
    EXPECT_GT(transparent, 0);
}

// --- Writing ------------------------------------------------------------------

// The pixels libpng decodes, as 0xAARRGGBB words.
std::vector<uint32> libpng_pixels(const void* data, size_t size, int32* width, int32* height)
{
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size))
        return {};
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint32> pixels(size_t(image.width) * image.height);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        return {};
    *width = int32(image.width);
    *height = int32(image.height);
    return pixels;
}

// What each colour space's pixel at (x, y) is once widened to a word.
uint32 expected_word(BBitmap* bitmap, int32 x, int32 y)
{
    const uint8* row = static_cast<const uint8*>(bitmap->Bits()) + size_t(y) * bitmap->BytesPerRow();
    switch (bitmap->ColorSpace()) {
    case B_RGB32:
        return reinterpret_cast<const uint32*>(row)[x] | 0xFF000000u;
    case B_RGBA32:
        return reinterpret_cast<const uint32*>(row)[x];
    case B_RGB24:
        return 0xFF000000u | (uint32(row[3 * x + 2]) << 16) | (uint32(row[3 * x + 1]) << 8) |
               row[3 * x];
    case B_GRAY8:
        return 0xFF000000u | uint32(row[x]) * 0x010101u;
    default: {
        QImage::Format format =
            bitmap->ColorSpace() == B_RGB16 ? QImage::Format_RGB16 : QImage::Format_RGB555;
        QImage one(row + 2 * x, 1, 1, 2, format);
        return one.convertToFormat(QImage::Format_ARGB32).pixel(0, 0);
    }
    }
}

BBitmap* make_picture(color_space space, int32 width, int32 height)
{
    BBitmap* bitmap = new BBitmap(BRect(0, 0, float(width - 1), float(height - 1)), space);
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    uint32 state = 2463534242u;
    // Noise and repeats, so that every filter and match kind is exercised.
    for (int32 i = 0; i < bitmap->BitsLength(); i++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bits[i] = (i / 97) % 3 == 0 ? uint8(state) : bits[i >= 61 ? i - 61 : 0];
    }
    return bitmap;
}

struct WriteCase
{
    const char* label;
    color_space space;
    PngWriteOptions options;
};

PngWriteOptions with(int32 filter, png_deflate engine, int32 level, int32 threads,
                     size_t bandBytes = size_t(4) << 20)
{
    PngWriteOptions o;
    o.filter = filter;
    o.engine = engine;
    o.level = level;
    o.threads = threads;
    o.bandBytes = bandBytes;
    return o;
}

void PrintTo(const WriteCase& c, std::ostream* os)
{
    *os << c.label;
}

class PngWriting : public testing::TestWithParam<WriteCase>
{
};

// Whatever the filter, engine and banding, libpng, Qt and our reader decode
// the file to the bitmap's pixels, B_RGB32's junk alpha made opaque.
TEST_P(PngWriting, DecodesToThePixelsEverywhere)
{
    const WriteCase& c = GetParam();
    std::unique_ptr<BBitmap> picture(make_picture(c.space, 301, 67));
    BMallocIO out;
    ASSERT_EQ(B_OK, BPrivate::write_png(*picture, &out, c.options));

    int32 width = 0, height = 0;
    std::vector<uint32> libpng = libpng_pixels(out.Buffer(), out.BufferLength(), &width, &height);
    ASSERT_EQ(301, width);
    ASSERT_EQ(67, height);
    QImage qt = QImage::fromData(static_cast<const uchar*>(out.Buffer()),
                                 int(out.BufferLength()), "png")
                    .convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(QSize(301, 67), qt.size());
    std::vector<uint8> bytes(static_cast<const uint8*>(out.Buffer()),
                             static_cast<const uint8*>(out.Buffer()) + out.BufferLength());
    std::unique_ptr<BBitmap> ours;
    ASSERT_EQ(B_OK, read_png(bytes, &ours));
    EXPECT_EQ(c.space == B_RGBA32 ? B_RGBA32 : B_RGB32, ours->ColorSpace());
    for (int32 y = 0; y < 67; y++) {
        for (int32 x = 0; x < 301; x++) {
            uint32 expected = expected_word(picture.get(), x, y);
            ASSERT_EQ(expected, libpng[size_t(y) * 301 + size_t(x)]) << x << "," << y;
            ASSERT_EQ(expected, reinterpret_cast<const uint32*>(qt.constScanLine(y))[x]);
            ASSERT_EQ(expected, row_of(ours.get(), y)[x]);
        }
    }
}

using E = png_deflate;

INSTANTIATE_TEST_SUITE_P(
    Cases, PngWriting,
    testing::Values(
        WriteCase{"Rgb32Default", B_RGB32, PngWriteOptions()},
        WriteCase{"Rgba32Default", B_RGBA32, PngWriteOptions()},
        WriteCase{"Gray8Default", B_GRAY8, PngWriteOptions()},
        WriteCase{"Rgb24Default", B_RGB24, PngWriteOptions()},
        WriteCase{"Rgb16Default", B_RGB16, PngWriteOptions()},
        WriteCase{"Rgb15Default", B_RGB15, PngWriteOptions()},
        // Many small bands over several threads: band joins and the
        // combined checksum.
        WriteCase{"Rgb32ManyBands", B_RGB32, with(0, E::kIsal, 1, 3, 4000)},
        WriteCase{"Rgba32ManyBandsZlib", B_RGBA32, with(0, E::kZlib, 6, 2, 5000)},
        WriteCase{"Rgb32SubBands", B_RGB32, with(1, E::kIsal, 1, 2, 3000)},
        WriteCase{"Rgb32UpBands", B_RGB32, with(2, E::kIsal, 3, 2, 3000)},
        WriteCase{"Rgba32AverageBands", B_RGBA32, with(3, E::kZlib, 1, 2, 3000)},
        WriteCase{"Gray8PaethBands", B_GRAY8, with(4, E::kIsal, 0, 2, 1000)},
        WriteCase{"Rgb32OneRowBands", B_RGB32, with(4, E::kIsal, 2, 2, 1)}),
    [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.label); });

// A destination that fails partway stops the bands still to come, whatever
// thread meets the failure, and its status is the one reported.
class FillsUpAfter : public BMallocIO
{
public:
    explicit FillsUpAfter(off_t room) : fRoom(room) {}

    ssize_t WriteAt(off_t position, const void* buffer, size_t size) override
    {
        if (position + off_t(size) > fRoom)
            return B_DEVICE_FULL;
        return BMallocIO::WriteAt(position, buffer, size);
    }

private:
    off_t fRoom;
};

TEST(PngWriting, ReportsAFailingDestination)
{
    std::unique_ptr<BBitmap> picture(make_picture(B_RGB32, 301, 67));
    for (int32 threads : {1, 2, 4}) {
        for (off_t room : {off_t(0), off_t(40), off_t(20000)}) {
            FillsUpAfter destination(room);
            EXPECT_EQ(B_DEVICE_FULL, BPrivate::write_png(*picture, &destination,
                                                         with(0, E::kIsal, 1, threads, 2000)))
                << threads << " " << room;
        }
    }
}

TEST(PngWriting, RefusesWhatItCannotWriteAndWritesNothing)
{
    BMallocIO out;
    BBitmap palette(BRect(0, 0, 3, 3), B_CMAP8);
    EXPECT_EQ(B_BAD_VALUE, BPrivate::write_png(palette, &out));
    BBitmap invalid(BRect(0, 0, -1, -1), B_RGB32);
    EXPECT_EQ(B_BAD_VALUE, BPrivate::write_png(invalid, &out));
    std::unique_ptr<BBitmap> picture(make_picture(B_RGB32, 8, 8));
    EXPECT_EQ(B_BAD_VALUE, BPrivate::write_png(*picture, nullptr));
    EXPECT_EQ(0u, out.BufferLength());
    EXPECT_EQ(B_NO_TRANSLATOR, BPrivate::png_translator()->Write(*picture, 'JPEG', &out));
}

// --- Damaged and hostile files ----------------------------------------------------

uint32 be32(const std::vector<uint8>& b, size_t at)
{
    return (uint32(b[at]) << 24) | (uint32(b[at + 1]) << 16) | (uint32(b[at + 2]) << 8) | b[at + 3];
}

void put_be32(std::vector<uint8>& b, size_t at, uint32 v)
{
    for (int i = 0; i < 4; i++)
        b[at + size_t(i)] = uint8(v >> (24 - 8 * i));
}

// The offset of the first chunk of a type.
size_t find_chunk(const std::vector<uint8>& png, const char* type)
{
    for (size_t at = 8; at + 12 <= png.size(); at += 12 + be32(png, at))
        if (std::memcmp(png.data() + at + 4, type, 4) == 0)
            return at;
    return 0;
}

std::vector<uint8> with_chunk_before_idat(std::vector<uint8> png, const char* type,
                                          const std::vector<uint8>& data)
{
    std::vector<uint8> chunk(12 + data.size());
    put_be32(chunk, 0, uint32(data.size()));
    std::memcpy(chunk.data() + 4, type, 4);
    std::copy(data.begin(), data.end(), chunk.begin() + 8);
    put_be32(chunk, 8 + data.size(), uint32(crc32(0, chunk.data() + 4, uInt(4 + data.size()))));
    png.insert(png.begin() + std::ptrdiff_t(find_chunk(png, "IDAT")), chunk.begin(), chunk.end());
    return png;
}

std::vector<uint8> encoded_picture()
{
    std::unique_ptr<BBitmap> picture(make_picture(B_RGB32, 120, 90));
    BMallocIO out;
    EXPECT_EQ(B_OK, BPrivate::write_png(*picture, &out, with(0, E::kIsal, 1, 1)));
    const uint8* data = static_cast<const uint8*>(out.Buffer());
    return std::vector<uint8>(data, data + out.BufferLength());
}

struct Damage
{
    const char* label;
    std::vector<uint8> (*make)(std::vector<uint8> png);
    status_t status;
};

void PrintTo(const Damage& d, std::ostream* os)
{
    *os << d.label;
}

const Damage kDamages[] = {
    {"CutInThePixels", [](std::vector<uint8> p) { p.resize(find_chunk(p, "IDAT") + 200); return p; },
     B_ILLEGAL_DATA},
    {"NoEnd", [](std::vector<uint8> p) { p.resize(find_chunk(p, "IEND")); return p; },
     B_ILLEGAL_DATA},
    {"PixelCrc",
     [](std::vector<uint8> p) {
         p[find_chunk(p, "IDAT") + 50] ^= 0x10;
         return p;
     },
     B_ILLEGAL_DATA},
    {"AncillaryCrc",
     [](std::vector<uint8> p) {
         p = with_chunk_before_idat(p, "tEXt", {'a', 0, 'b'});
         p[find_chunk(p, "tEXt") + 10] ^= 1;
         return p;
     },
     B_ILLEGAL_DATA},
    {"HugeDeclaredSize",
     [](std::vector<uint8> p) {
         put_be32(p, 16, 100000);
         put_be32(p, 20, 100000);
         put_be32(p, 29, uint32(crc32(0, p.data() + 12, 17)));
         return p;
     },
     B_NO_MEMORY},
    {"SizeTheDataCannotHold",
     [](std::vector<uint8> p) {
         // 16000 x 16000 within the pixel budget, from a file of a few KB.
         put_be32(p, 16, 16000);
         put_be32(p, 20, 16000);
         put_be32(p, 29, uint32(crc32(0, p.data() + 12, 17)));
         return p;
     },
     B_ILLEGAL_DATA},
    {"TextOverTheBudget",
     [](std::vector<uint8> p) {
         std::vector<uint8> text(size_t(9) << 20, 'x');
         text[3] = 0;
         return with_chunk_before_idat(p, "tEXt", text);
     },
     B_NO_MEMORY},
};

class PngDamage : public testing::TestWithParam<Damage>
{
};

TEST_P(PngDamage, IsRefused)
{
    std::vector<uint8> png = GetParam().make(encoded_picture());
    std::unique_ptr<BBitmap> bitmap;
    EXPECT_EQ(GetParam().status, read_png(png, &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    // Through the dispatch too, whatever else might want the bytes.
    BBitmap* read = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(GetParam().status, read_bitmap_data(png.data(), png.size(), "x.png", &read));
    EXPECT_EQ(nullptr, read);
}

INSTANTIATE_TEST_SUITE_P(Files, PngDamage, testing::ValuesIn(kDamages),
                         [](const testing::TestParamInfo<Damage>& info) {
                             return std::string(info.param.label);
                         });

// An eXIf chunk saying "turned a quarter" is applied; the file's own pixels
// are otherwise untouched.
TEST(PngReadingMetadata, ExifOrientationIsApplied)
{
    std::vector<uint8> exif = {'M', 'M', 0, 42, 0, 0, 0, 8, // TIFF header
                               0, 1,                         // one entry
                               0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, // orientation 6
                               0, 0, 0, 0};
    std::vector<uint8> plain = encoded_picture();
    std::unique_ptr<BBitmap> upright, turned;
    ASSERT_EQ(B_OK, read_png(plain, &upright));
    ASSERT_EQ(B_OK, read_png(with_chunk_before_idat(plain, "eXIf", exif), &turned));
    ASSERT_EQ(BRect(0, 0, 89, 119), turned->Bounds());
    // Turned a quarter clockwise: the stored bottom-left pixel is shown top-left.
    EXPECT_EQ(row_of(upright.get(), 89)[0], row_of(turned.get(), 0)[0]);
    EXPECT_EQ(row_of(upright.get(), 0)[0], row_of(turned.get(), 0)[89]);
}

} // namespace
