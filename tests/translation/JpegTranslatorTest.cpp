// The JPEG translator against Pillow, which decodes with the same
// libjpeg-turbo: pixels must match exactly, orientation included.
#include "CodecTestSupport.h"

#include <JpegTranslator.h>
#include <TranslatorFormats.h>

using BPrivate::jpeg_translator;
using BPrivate::ReadBudget;

namespace {

struct JpegCase
{
    const char* label;
    // Makes d + '/in.jpg' (Python with Pillow, after kPythonSource).
    const char* python;
};

const JpegCase kJpegCases[] = {
    {"Baseline420", "src().save(d + '/in.jpg', quality=85)"},
    {"Baseline444", "src().save(d + '/in.jpg', quality=95, subsampling=0)"},
    {"Grey", "src('L').save(d + '/in.jpg')"},
    {"Progressive", "src().save(d + '/in.jpg', progressive=True)"},
    {"Cmyk", "src('CMYK').save(d + '/in.jpg')"},
    {"CmykByImageMagick",
     "import subprocess\n"
     "src().save(d + '/s.png')\n"
     "subprocess.check_call(['convert', d + '/s.png', '-colorspace', 'CMYK', d + '/in.jpg'])"},
    {"Arithmetic",
     "import subprocess\n"
     "src().save(d + '/s.ppm')\n"
     "subprocess.check_call(['cjpeg', '-arithmetic', '-outfile', d + '/in.jpg', d + '/s.ppm'])"},
    {"ProgressiveArithmeticGrey",
     "import subprocess\n"
     "src('L').save(d + '/s.pgm')\n"
     "subprocess.check_call(['cjpeg', '-arithmetic', '-progressive', '-outfile', d + '/in.jpg',"
     " d + '/s.pgm'])"},
    {"RestartMarkers",
     "import subprocess\n"
     "src().save(d + '/s.ppm')\n"
     "subprocess.check_call(['cjpeg', '-restart', '1B', '-outfile', d + '/in.jpg', d + '/s.ppm'])"},
    // Every EXIF orientation, turned as a viewer turns it.
    {"Orientation2", "e = Image.Exif(); e[0x0112] = 2; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation3", "e = Image.Exif(); e[0x0112] = 3; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation4", "e = Image.Exif(); e[0x0112] = 4; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation5", "e = Image.Exif(); e[0x0112] = 5; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation6", "e = Image.Exif(); e[0x0112] = 6; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation7", "e = Image.Exif(); e[0x0112] = 7; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation8", "e = Image.Exif(); e[0x0112] = 8; src().save(d + '/in.jpg', exif=e)"},
    {"Orientation6BigEndianCmyk",
     "e = Image.Exif(); e[0x0112] = 6; e.endian = '>'\n"
     "src('CMYK').save(d + '/in.jpg', exif=e)"},
};

void PrintTo(const JpegCase& c, std::ostream* os)
{
    *os << c.label;
}

class JpegRead : public testing::TestWithParam<JpegCase>
{
};

TEST_P(JpegRead, MatchesPillowExactly)
{
    if (!have_pillow() || !have_program("convert") || !have_program("cjpeg"))
        GTEST_SKIP() << "Pillow, ImageMagick or libjpeg-turbo-progs missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + GetParam().python));
    Reference reference;
    ASSERT_TRUE(pillow_reference(folder, folder / "in.jpg", &reference));
    std::unique_ptr<BBitmap> bitmap;
    ASSERT_EQ(B_OK, read_with(jpeg_translator(), folder / "in.jpg", &bitmap));
    EXPECT_EQ(B_RGB32, bitmap->ColorSpace());
    EXPECT_EQ(0, largest_difference(*bitmap, reference));
}

INSTANTIATE_TEST_SUITE_P(Variants, JpegRead, testing::ValuesIn(kJpegCases),
                         [](const testing::TestParamInfo<JpegCase>& info) {
                             return std::string(info.param.label);
                         });

// A baseline JPEG made by our own writer, to damage.
std::vector<uint8> sample_jpeg(int32 width = 64, int32 height = 48)
{
    std::unique_ptr<BBitmap> picture(make_smooth_bitmap(width, height));
    BMallocIO out;
    EXPECT_EQ(B_OK, jpeg_translator()->Write(*picture, B_JPEG_FORMAT, &out));
    const uint8* bytes = static_cast<const uint8*>(out.Buffer());
    return std::vector<uint8>(bytes, bytes + out.BufferLength());
}

// The frame header's height and width set to claim another size.
void claim_size(std::vector<uint8>& jpeg, uint16 width, uint16 height)
{
    for (size_t i = 2; i + 9 < jpeg.size(); i++) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2 || jpeg[i + 1] == 0xC9)) {
            jpeg[i + 5] = uint8(height >> 8);
            jpeg[i + 6] = uint8(height);
            jpeg[i + 7] = uint8(width >> 8);
            jpeg[i + 8] = uint8(width);
            return;
        }
    }
    ADD_FAILURE() << "no frame header";
}

struct Refusal
{
    const char* label;
    std::vector<uint8> (*make)();
    ReadBudget budget;
    status_t status;
};

ReadBudget budget_with_scans(uint32 scans)
{
    ReadBudget budget;
    budget.maxScans = scans;
    return budget;
}

ReadBudget budget_with_pixels(uint64 pixels)
{
    ReadBudget budget;
    budget.maxPixels = pixels;
    return budget;
}

const Refusal kRefusals[] = {
    {"NotAJpeg", [] { return std::vector<uint8>{'G', 'I', 'F', '8', '9', 'a', 0, 0}; },
     ReadBudget(), B_NO_TRANSLATOR},
    {"HeaderOnly",
     [] {
         std::vector<uint8> jpeg = sample_jpeg();
         jpeg.resize(20);
         return jpeg;
     },
     ReadBudget(), B_ILLEGAL_DATA},
    {"CutToSixtyPercent",
     [] {
         std::vector<uint8> jpeg = sample_jpeg(256, 256);
         jpeg.resize(jpeg.size() * 6 / 10);
         return jpeg;
     },
     ReadBudget(), B_ILLEGAL_DATA},
    {"LastBytesMissing",
     [] {
         std::vector<uint8> jpeg = sample_jpeg(256, 256);
         jpeg.resize(jpeg.size() - 40);
         return jpeg;
     },
     ReadBudget(), B_ILLEGAL_DATA},
    // A few hundred bytes claiming 16384 x 16384 (within the pixel ceiling):
    // refused from its header.
    {"ClaimsHugeSize",
     [] {
         std::vector<uint8> jpeg = sample_jpeg(16, 16);
         claim_size(jpeg, 16384, 16384);
         return jpeg;
     },
     ReadBudget(), B_ILLEGAL_DATA},
    {"ClaimsMoreRowsThanItHas",
     [] {
         std::vector<uint8> jpeg = sample_jpeg(64, 64);
         claim_size(jpeg, 64, 4000);
         return jpeg;
     },
     ReadBudget(), B_ILLEGAL_DATA},
    {"OverThePixelCeiling", [] { return sample_jpeg(64, 48); }, budget_with_pixels(64 * 48 - 1),
     B_NO_MEMORY},
};

void PrintTo(const Refusal& r, std::ostream* os)
{
    *os << r.label;
}

class JpegRefusal : public testing::TestWithParam<Refusal>
{
};

TEST_P(JpegRefusal, GivesNoBitmap)
{
    std::vector<uint8> bytes = GetParam().make();
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(GetParam().status, jpeg_translator()->Read(source_of(bytes), GetParam().budget, &bitmap));
    EXPECT_EQ(nullptr, bitmap);
}

INSTANTIATE_TEST_SUITE_P(Files, JpegRefusal, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& info) {
                             return std::string(info.param.label);
                         });

// Arithmetic coding has no least size per block (its decoder reads zeros
// past the data by design), so only a file that ends before its end marker
// shows the cut; that one is refused too.
TEST(JpegRefusal, ArithmeticCodedCutShort)
{
    if (!have_pillow() || !have_program("cjpeg"))
        GTEST_SKIP() << "Pillow or cjpeg missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + "src(w=300, h=200).save(d + '/s.ppm')"));
    ASSERT_TRUE(run_quietly("cjpeg -arithmetic -outfile '" + folder / "a.jpg" + "' '" +
                            folder / "s.ppm" + "'"));
    std::vector<uint8> jpeg = read_all(folder / "a.jpg");
    jpeg.resize(jpeg.size() * 6 / 10);
    BBitmap* bitmap = nullptr;
    EXPECT_EQ(B_ILLEGAL_DATA, jpeg_translator()->Read(source_of(jpeg), ReadBudget(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
}

TEST(JpegRead, ProgressiveScansAreCapped)
{
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + "src().save(d + '/p.jpg', progressive=True)"));
    std::unique_ptr<BBitmap> bitmap;
    // libjpeg's default progression has 10 scans for colour.
    EXPECT_EQ(B_OK, read_with(jpeg_translator(), folder / "p.jpg", &bitmap, budget_with_scans(10)));
    EXPECT_EQ(B_ILLEGAL_DATA,
              read_with(jpeg_translator(), folder / "p.jpg", &bitmap, budget_with_scans(9)));
}

// JPEGs beyond libjpeg-turbo 2.1, written by dcmtk's codec (the reading
// corpus's files): read through libavcodec as FFmpeg shows them, or refused
// where FFmpeg itself gets them wrong.
struct WideJpegCase
{
    const char* file;
    status_t status;
    int32 tolerance; // against FFmpeg's reading
};

const WideJpegCase kWideJpegCases[] = {
    {"jpeg-12bit-grey-dcmtk.jpg", B_OK, 1},
    {"jpeg-12bit-ycc-dcmtk.jpg", B_OK, 2},
    {"jpeg-12bit-progressive-dcmtk.jpg", B_OK, 2},
    {"jpeg-lossless-grey-dcmtk.jpg", B_OK, 0},
    {"jpeg-lossless-rgb-dcmtk.jpg", B_OK, 0},
    // FFmpeg scales 12-bit RGB-coded samples wrongly, and turns lossless
    // samples deeper than 8 bits into noise.
    {"jpeg-12bit-rgb-dcmtk.jpg", B_NO_TRANSLATOR, 0},
    {"jpeg-lossless-16bit-dcmtk.jpg", B_NO_TRANSLATOR, 0},
};

void PrintTo(const WideJpegCase& c, std::ostream* os)
{
    *os << c.file;
}

std::string corpus_file(const std::string& name)
{
    return std::string(PELLARA_TEST_DATA) + "/corpus/made/" + name;
}

class WideJpegRead : public testing::TestWithParam<WideJpegCase>
{
};

TEST_P(WideJpegRead, ReadsAsFfmpegDoesOrRefuses)
{
    const WideJpegCase& c = GetParam();
    std::unique_ptr<BBitmap> bitmap;
    testing::internal::CaptureStderr();
    const status_t status = read_with(jpeg_translator(), corpus_file(c.file), &bitmap);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    ASSERT_EQ(c.status, status);
    if (status != B_OK) {
        EXPECT_EQ(nullptr, bitmap);
        return;
    }
    if (!have_program("ffmpeg"))
        GTEST_SKIP() << "FFmpeg missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_quietly("ffmpeg -nostdin -v error -i '" + corpus_file(c.file) +
                            "' -pix_fmt rgba -c:v pam -f image2 '" + folder / "ref.pam" + "'"));
    Reference reference;
    ASSERT_TRUE(pam_reference(folder / "ref.pam", &reference));
    std::string where;
    EXPECT_LE(largest_difference(*bitmap, reference, &where), c.tolerance) << where;
}

INSTANTIATE_TEST_SUITE_P(Files, WideJpegRead, testing::ValuesIn(kWideJpegCases),
                         [](const testing::TestParamInfo<WideJpegCase>& info) {
                             std::string name = info.param.file;
                             name = name.substr(5, name.size() - 15); // "jpeg-" ... "-dcmtk.jpg"
                             for (char& ch : name)
                                 if (ch == '-')
                                     ch = '_';
                             return name;
                         });

// A 12-bit file cut anywhere is refused, not padded with grey as libavcodec
// pads it; one claiming a size its bytes cannot hold, from its header.
TEST(WideJpegRefusal, CutOrForgedFilesAreRefused)
{
    const std::vector<uint8> whole = read_all(corpus_file("jpeg-12bit-ycc-dcmtk.jpg"));
    ASSERT_FALSE(whole.empty());
    for (size_t keep : {whole.size() - 2, whole.size() * 9 / 10, whole.size() / 2, size_t(200)}) {
        std::vector<uint8> cut(whole.begin(), whole.begin() + keep);
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        EXPECT_EQ(B_ILLEGAL_DATA, jpeg_translator()->Read(source_of(cut), ReadBudget(), &bitmap))
            << keep << " bytes";
        EXPECT_EQ(nullptr, bitmap);
    }
    std::vector<uint8> forged = whole;
    bool found = false;
    for (size_t i = 2; i + 9 < forged.size() && !found; i++) {
        if (forged[i] == 0xFF && forged[i + 1] == 0xC1) {
            // 4096 x 4096: within the pixel ceiling, beyond the file's bytes.
            forged[i + 5] = forged[i + 7] = 0x10;
            forged[i + 6] = forged[i + 8] = 0;
            found = true;
        }
    }
    ASSERT_TRUE(found);
    BBitmap* bitmap = nullptr;
    EXPECT_EQ(B_ILLEGAL_DATA, jpeg_translator()->Read(source_of(forged), ReadBudget(), &bitmap));
    EXPECT_EQ(B_NO_MEMORY,
              jpeg_translator()->Read(source_of(whole), budget_with_pixels(100), &bitmap));
}

// The writer: quality 90 from the rows, B_RGB32's alpha byte ignored, and a
// file that libjpeg-turbo elsewhere decodes as ours does.
TEST(JpegWrite, IgnoresAlphaAndDecodesAlike)
{
    std::unique_ptr<BBitmap> junk(make_colour_bitmap(67, 45, B_RGB32, 0x12));
    std::unique_ptr<BBitmap> opaque(make_colour_bitmap(67, 45, B_RGB32, 0xFF));
    BMallocIO a, b;
    ASSERT_EQ(B_OK, jpeg_translator()->Write(*junk, B_JPEG_FORMAT, &a));
    ASSERT_EQ(B_OK, jpeg_translator()->Write(*opaque, B_JPEG_FORMAT, &b));
    ASSERT_EQ(a.BufferLength(), b.BufferLength());
    EXPECT_EQ(0, std::memcmp(a.Buffer(), b.Buffer(), a.BufferLength()));

    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    ScratchFolder folder;
    const uint8* bytes = static_cast<const uint8*>(a.Buffer());
    write_all(folder / "out.jpg", std::vector<uint8>(bytes, bytes + a.BufferLength()));
    Reference reference;
    ASSERT_TRUE(pillow_reference(folder, folder / "out.jpg", &reference));
    std::unique_ptr<BBitmap> back;
    ASSERT_EQ(B_OK, read_with(jpeg_translator(), folder / "out.jpg", &back));
    EXPECT_EQ(0, largest_difference(*back, reference));
}

TEST(JpegWrite, StaysCloseToTheSource)
{
    std::unique_ptr<BBitmap> picture(make_smooth_bitmap(300, 200));
    BMallocIO out;
    ASSERT_EQ(B_OK, jpeg_translator()->Write(*picture, B_JPEG_FORMAT, &out));
    std::vector<uint8> bytes(static_cast<const uint8*>(out.Buffer()),
                             static_cast<const uint8*>(out.Buffer()) + out.BufferLength());
    BBitmap* raw = nullptr;
    ASSERT_EQ(B_OK, jpeg_translator()->Read(source_of(bytes), ReadBudget(), &raw));
    std::unique_ptr<BBitmap> back(raw);
    Reference source{300, 200, {}};
    for (int32 y = 0; y < 200; y++)
        for (int32 x = 0; x < 300; x++)
            source.words.push_back(row_of(picture.get(), y)[x]);
    EXPECT_LE(largest_difference(*back, source), 4);
}

TEST(JpegWrite, RefusesWhatItCannotWrite)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(8, 8));
    BMallocIO out;
    EXPECT_EQ(B_NO_TRANSLATOR, jpeg_translator()->Write(*picture, B_PNG_FORMAT, &out));
    BBitmap grey(BRect(0, 0, 7, 7), B_GRAY8);
    EXPECT_EQ(B_NO_TRANSLATOR, jpeg_translator()->Write(grey, B_JPEG_FORMAT, &out));
    FailingIO failing;
    std::unique_ptr<BBitmap> big(make_colour_bitmap(1500, 1000));
    EXPECT_EQ(B_IO_ERROR, jpeg_translator()->Write(*big, B_JPEG_FORMAT, &failing));
}

} // namespace
