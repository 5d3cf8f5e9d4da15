// The reading pipeline's own rules, whatever the format: the table of
// formats behind the roster and the sniffs, the limits before a file or a
// stream is read whole, and the dispatch among formats without a magic
// number.
#include "TestFiles.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <DataIO.h>
#include <PictureFormats.h>
#include <PngTranslator.h>
#include <ReadingPipeline.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace BPrivate;

std::vector<uint8> small_png()
{
    BBitmap bitmap(BRect(0, 0, 6, 4), B_RGB32);
    uint32* words = static_cast<uint32*>(bitmap.Bits());
    for (int i = 0; i < 35; i++)
        words[i] = 0xFF000000u | uint32(i * 0x070503);
    BMallocIO out;
    EXPECT_EQ(B_OK, write_png(bitmap, &out));
    const uint8* bytes = static_cast<const uint8*>(out.Buffer());
    return std::vector<uint8>(bytes, bytes + out.BufferLength());
}

// --- The table -----------------------------------------------------------------

TEST(FormatTable, WrittenFormatsAreTheRostersInMenuOrder)
{
    const std::vector<const PictureFormat*> written = written_formats();
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    translator_id* ids = nullptr;
    int32 count = 0;
    ASSERT_EQ(B_OK, roster->GetAllTranslators(&ids, &count));
    // The roster offers a subset (Qt's writers are probed), in the table's order.
    size_t next = 0;
    for (int32 i = 0; i < count; i++) {
        const translation_format* out = nullptr;
        int32 n = 0;
        ASSERT_EQ(B_OK, roster->GetOutputFormats(ids[i], &out, &n));
        while (next < written.size() && written[next]->type != out->type)
            next++;
        ASSERT_LT(next, written.size()) << out->name << " out of the table's order";
        EXPECT_STREQ(written[next]->mime, out->MIME);
        EXPECT_STREQ(written[next]->shortName, roster->ShortName(ids[i]));
    }
    delete[] ids;
    // What users pick most comes first, as the menu always had it.
    const char* kFirst[] = {"png", "jpeg", "bmp", "tiff", "webp"};
    for (size_t i = 0; i < std::size(kFirst); i++)
        EXPECT_STREQ(kFirst[i], written[i]->shortName);
}

TEST(FormatTable, EachEntryIsComplete)
{
    std::set<uint32> types;
    std::set<int32> places;
    for (const PictureFormat& format : picture_formats()) {
        SCOPED_TRACE(format.shortName);
        // A format that is sniffed has a header stage and someone to decode it.
        if (format.sniff != nullptr) {
            EXPECT_NE(nullptr, format.header);
            EXPECT_TRUE(format.decoder != nullptr || format.qtName != nullptr);
        }
        EXPECT_TRUE(format.sniff != nullptr || format.writer != nullptr);
        // The short name is the first extension.
        EXPECT_EQ(0, std::strncmp(format.extensions, format.shortName,
                                  std::strlen(format.shortName)));
        if (format.writer != nullptr) {
            EXPECT_NE(0u, format.type);
            EXPECT_TRUE(types.insert(format.type).second) << "type code twice";
            EXPECT_TRUE(places.insert(format.menuOrder).second) << "menu place twice";
            EXPECT_EQ(&format, format_of_type(format.type));
        }
    }
}

// --- Sniffing --------------------------------------------------------------------

struct SniffCase
{
    const char* label;
    std::vector<uint8> bytes;
    const char* extension;
    const char* first; // the surest format, or null for none
};

std::vector<uint8> with_head(std::initializer_list<uint8> head, size_t size, uint8 fill)
{
    std::vector<uint8> b(size, fill);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

std::vector<uint8> tga_header()
{
    // No ID, no colour map, true colour, 2 x 2, 24 bits; the pixels follow.
    return with_head({0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 24, 0x20}, 18 + 12, 0x40);
}

std::vector<uint8> cursor_like_tga()
{
    // A directory of one cursor picture, whose bytes are also a plausible
    // TGA header (type 2, no ID, no colour map, 32 x 40, 24 bits): the
    // cursor's byte count and the TGA's depth share bytes 14 to 17.
    std::vector<uint8> b = with_head(
        {0, 0, 2, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 24, 0, 22, 0, 0, 0}, 22 + 40 + (24 << 16), 0);
    b[22] = 40;
    return b;
}

TEST(Sniff, FindsTheFormatFromTheFirstBytes)
{
    const SniffCase kCases[] = {
        {"png", small_png(), "", "png"},
        {"png named .tga", small_png(), "tga", "png"},
        {"jpeg", {0xFF, 0xD8, 0xFF, 0xE0}, "", "jpeg"},
        {"gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}, "", "gif"},
        {"tga", tga_header(), "", "tga"},
        {"cursor-like, no name", cursor_like_tga(), "", "ico"},
        {"cursor-like named .tga", cursor_like_tga(), "tga", "tga"},
        {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}, "", nullptr},
        // A BMP's two letters with no info header any BMP has.
        {"BM text", with_head({'B', 'M', ' ', 'i', 's', ' ', 'n', 'o', ' ', 'p', 'i', 'c'}, 40, '.'),
         "", nullptr},
        // A TGA's colour-map type must be 0 or 1.
        {"tga colour map 2",
         [] {
             std::vector<uint8> b = tga_header();
             b[1] = 2;
             return b;
         }(),
         "tga", nullptr},
    };
    for (const SniffCase& c : kCases) {
        ImageSource source;
        source.data = c.bytes.data();
        source.size = c.bytes.size();
        source.extension = c.extension;
        const std::vector<const PictureFormat*> found = sniff_formats(source);
        if (c.first == nullptr) {
            EXPECT_TRUE(found.empty()) << c.label << ": " << found.front()->shortName;
        } else {
            ASSERT_FALSE(found.empty()) << c.label;
            EXPECT_STREQ(c.first, found.front()->shortName) << c.label;
        }
    }
}

// --- Formats only Qt's plugins decode, after our header stage -------------------

struct QtOnlyCase
{
    const char* label;
    std::vector<uint8> bytes;
    status_t status;
    int32 width, height;
    color_space space;
};

std::vector<uint8> wbmp(uint8 width, uint8 height, size_t rowsPresent, size_t padding = 0)
{
    std::vector<uint8> b = {0, 0, width, height};
    const size_t row = (width + 7) / 8;
    for (size_t i = 0; i < row * rowsPresent + padding; i++)
        b.push_back(uint8(i % 2 ? 0x0F : 0xF0));
    return b;
}

std::vector<uint8> text_bytes(const char* text)
{
    return std::vector<uint8>(text, text + std::strlen(text));
}

std::vector<uint8> icns_with_png(const std::vector<uint8>& png)
{
    auto be32 = [](std::vector<uint8>& b, uint32 v) {
        for (int i = 3; i >= 0; i--)
            b.push_back(uint8(v >> (8 * i)));
    };
    std::vector<uint8> b = text_bytes("icns");
    be32(b, uint32(16 + png.size()));
    for (char c : std::string("ic07"))
        b.push_back(uint8(c));
    be32(b, uint32(8 + png.size()));
    b.insert(b.end(), png.begin(), png.end());
    return b;
}

std::vector<uint8> png_claiming(uint32 side)
{
    std::vector<uint8> png = small_png();
    for (int i = 0; i < 2; i++)
        for (int k = 0; k < 4; k++)
            png[16 + 4 * i + k] = uint8(side >> (24 - 8 * k));
    return png;
}

TEST(QtOnlyFormats, ReadAfterTheirHeaderPassedAndNeverGuessed)
{
    const QtOnlyCase kCases[] = {
        {"wbmp", wbmp(12, 3, 3), B_OK, 12, 3, B_RGB32},
        // No magic number: a length that is not the picture's is no WBMP.
        {"wbmp short", wbmp(12, 3, 2), B_NO_TRANSLATOR, 0, 0, B_RGB32},
        {"wbmp with a tail", wbmp(12, 3, 3, 40), B_NO_TRANSLATOR, 0, 0, B_RGB32},
        {"xpm opaque",
         text_bytes("/* XPM */\nstatic char *x[] = {\n\"3 1 2 1\",\n\"a c #ff0000\",\n"
                    "\"b c #0000ff\",\n\"aba\"\n};\n"),
         B_OK, 3, 1, B_RGB32},
        {"xpm with None",
         text_bytes("/* XPM */\nstatic char *x[] = {\n\"3 1 2 1\",\n\"a c #ff0000\",\n"
                    "\"b c None\",\n\"aba\"\n};\n"),
         B_OK, 3, 1, B_RGBA32},
        // An icon's header promises alpha; an opaque picture inside comes
        // as one without.
        {"icns", icns_with_png(small_png()), B_OK, 7, 5, B_RGB32},
        // Its PNG claims 20000 x 20000 in a few bytes.
        {"icns claiming", icns_with_png(png_claiming(20000)), B_NO_MEMORY, 0, 0, B_RGB32},
        {"icns over the budget's bytes", icns_with_png(png_claiming(8000)), B_ILLEGAL_DATA, 0, 0,
         B_RGB32},
    };
    for (const QtOnlyCase& c : kCases) {
        BBitmap* raw = reinterpret_cast<BBitmap*>(1);
        EXPECT_EQ(c.status, read_bitmap_data(c.bytes.data(), c.bytes.size(), nullptr, &raw))
            << c.label;
        std::unique_ptr<BBitmap> bitmap(raw);
        if (c.status != B_OK) {
            EXPECT_EQ(nullptr, raw) << c.label;
            bitmap.release();
            continue;
        }
        ASSERT_NE(nullptr, raw) << c.label;
        EXPECT_EQ(c.width, bitmap->PixelWidth()) << c.label;
        EXPECT_EQ(c.height, bitmap->PixelHeight()) << c.label;
        EXPECT_EQ(c.space, bitmap->ColorSpace()) << c.label;
    }
}

// --- Limits before reading whole ---------------------------------------------------

long resident_kib()
{
    struct rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A file of size bytes (sparse: no disk is used) beginning with head.
std::string sparse_file(const ScratchFolder& folder, const char* name,
                        const std::vector<uint8>& head, off_t size)
{
    const std::string path = folder / name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ssize_t(head.size()), write(fd, head.data(), head.size()));
    EXPECT_EQ(0, ftruncate(fd, size));
    close(fd);
    return path;
}

TEST(FileLimits, ALargeFileThatIsNoPictureIsNotReadWhole)
{
    ScratchFolder folder;
    const std::vector<uint8> text = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'};
    const off_t size = off_t(max_picture_file_bytes() - 1);
    const std::string path = sparse_file(folder, "large.bin", text, size);
    const long before = resident_kib();
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(B_NO_TRANSLATOR, BTranslationUtils::ReadBitmapFile(path.c_str(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    // Its first bytes only: nowhere near its gigabytes.
    EXPECT_LT(resident_kib() - before, 64 * 1024);
}

TEST(FileLimits, AFileLongerThanAnyPictureIsRefusedUnread)
{
    ScratchFolder folder;
    const std::string path =
        sparse_file(folder, "huge.png", small_png(), off_t(max_picture_file_bytes() + 1));
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(B_NO_MEMORY, BTranslationUtils::ReadBitmapFile(path.c_str(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
}

TEST(FileLimits, TheCeilingFollowsThePixelBudget)
{
    const uint64 saved = max_picture_pixels();
    set_max_picture_pixels(1000);
    const uint64 small = max_picture_file_bytes();
    set_max_picture_pixels(2000);
    EXPECT_EQ(small + 8000, max_picture_file_bytes());
    set_max_picture_pixels(saved);
    // The default admits a 256-megapixel picture stored raw at 16 bits a
    // channel with alpha.
    EXPECT_GE(max_picture_file_bytes(), max_picture_pixels() * 8);
}

// A pipe fed from a thread; what the reader left unread can be counted.
class Pipe
{
public:
    explicit Pipe(std::vector<uint8> bytes) : fBytes(std::move(bytes))
    {
        EXPECT_EQ(0, pipe(fEnds));
        fWriter = std::thread([this] {
            size_t done = 0;
            while (done < fBytes.size()) {
                ssize_t n = write(fEnds[1], fBytes.data() + done, fBytes.size() - done);
                if (n <= 0)
                    break;
                done += size_t(n);
            }
            close(fEnds[1]);
        });
    }
    ~Pipe()
    {
        close(fEnds[0]);
        fWriter.join();
    }
    int ReadEnd() const { return fEnds[0]; }
    size_t Unread()
    {
        size_t count = 0;
        char buffer[65536];
        for (ssize_t n; (n = read(fEnds[0], buffer, sizeof buffer)) > 0;)
            count += size_t(n);
        return count;
    }

private:
    std::vector<uint8> fBytes;
    int fEnds[2];
    std::thread fWriter;
};

TEST(StreamLimits, APictureIsReadFromAPipe)
{
    Pipe pipe(small_png());
    BBitmap* raw = nullptr;
    ASSERT_EQ(B_OK, read_bitmap_stream(pipe.ReadEnd(), nullptr, &raw));
    std::unique_ptr<BBitmap> bitmap(raw);
    EXPECT_EQ(7, bitmap->PixelWidth());
    EXPECT_EQ(5, bitmap->PixelHeight());
    EXPECT_EQ(0xFF070503u, static_cast<const uint32*>(bitmap->Bits())[1]);
}

TEST(StreamLimits, AStreamThatIsNoPictureIsReadNoFurtherThanItsFirstBytes)
{
    const size_t total = 4 * kSniffBytes;
    Pipe pipe(std::vector<uint8>(total, 'x'));
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(B_NO_TRANSLATOR, read_bitmap_stream(pipe.ReadEnd(), nullptr, &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    EXPECT_EQ(total - kSniffBytes, pipe.Unread());
}

TEST(StreamLimits, AStreamLongerThanAnyPictureIsRefused)
{
    const uint64 saved = max_picture_pixels();
    set_max_picture_pixels(1);
    std::vector<uint8> bytes = small_png();
    bytes.resize(size_t(max_picture_file_bytes()) + 4096, 0);
    {
        Pipe pipe(bytes);
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        EXPECT_EQ(B_NO_MEMORY, read_bitmap_stream(pipe.ReadEnd(), nullptr, &bitmap));
        EXPECT_EQ(nullptr, bitmap);
    }
    set_max_picture_pixels(saved);
}

TEST(StreamLimits, BadArguments)
{
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(B_BAD_VALUE, read_bitmap_stream(-1, nullptr, &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    EXPECT_EQ(B_BAD_VALUE, read_bitmap_stream(0, nullptr, nullptr));
    // An empty stream holds no picture.
    Pipe empty({});
    EXPECT_EQ(B_NO_TRANSLATOR, read_bitmap_stream(empty.ReadEnd(), nullptr, &bitmap));
}

} // namespace
