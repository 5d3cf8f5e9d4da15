// Files made by other programs, decoded by another decoder, for the tests
// of the translators of our own.
#ifndef CODEC_TEST_SUPPORT_H
#define CODEC_TEST_SUPPORT_H

#include "TestFiles.h"

#include <Bitmap.h>
#include <DataIO.h>
#include <ImageTranslator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Whether a program is on the PATH.
inline bool have_program(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Debian's own Python, where python3-pil installs Pillow, even when another
// Python comes first on the PATH.
inline std::string python()
{
    return std::system("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
}

inline bool have_pillow()
{
    static const bool present =
        std::system((python() + " -c 'import PIL' >/dev/null 2>&1").c_str()) == 0;
    return present;
}

// Runs a shell command quietly; true when it succeeded.
inline bool run_quietly(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// Runs a Python program with Pillow (and numpy when it imports it); the
// program sees the scratch folder as the variable d.
inline bool run_python(const ScratchFolder& folder, const std::string& program)
{
    std::string script = folder / "make.py";
    std::string text = "import sys\nd = sys.argv[1]\n" + program + "\n";
    write_all(script, std::vector<uint8>(text.begin(), text.end()));
    return run_quietly(python() + " '" + script + "' '" + folder.Path() + "'");
}

// Python defining src(mode): a 61 x 37 picture with colour, edges and a
// gradient in the given Pillow mode, the same every run; prefix of the
// programs that make test files.
inline const std::string kPythonSource =
    "from PIL import Image\n"
    "def src(mode='RGB', w=61, h=37):\n"
    "    im = Image.new('RGBA', (w, h))\n"
    "    im.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), ((x * 7 + y * 13) * 5) % 256,\n"
    "                 255 if (x + y) % 5 else (x * 9) % 256) for y in range(h) for x in range(w)])\n"
    "    return im.convert(mode)\n";

// A picture as 0xAARRGGBB words, row after row.
struct Reference
{
    int32 width = 0;
    int32 height = 0;
    std::vector<uint32> words;
};

// Pillow's reading of a file, orientation applied as viewers do, as RGBA.
inline bool pillow_reference(const ScratchFolder& folder, const std::string& path,
                             Reference* reference)
{
    std::string out = folder / "reference.rgba";
    if (!run_python(folder, "from PIL import Image, ImageOps\n"
                            "import struct\n"
                            "im = ImageOps.exif_transpose(Image.open('" +
                                path +
                                "'))\n"
                                "im = im.convert('RGBA')\n"
                                "open('" +
                                out +
                                "', 'wb').write(struct.pack('<II', *im.size) + im.tobytes())\n"))
        return false;
    std::vector<uint8> bytes = read_all(out);
    if (bytes.size() < 8)
        return false;
    auto le32 = [&](size_t at) {
        return uint32(bytes[at]) | (uint32(bytes[at + 1]) << 8) | (uint32(bytes[at + 2]) << 16) |
               (uint32(bytes[at + 3]) << 24);
    };
    reference->width = int32(le32(0));
    reference->height = int32(le32(4));
    size_t count = size_t(reference->width) * size_t(reference->height);
    if (bytes.size() != 8 + count * 4)
        return false;
    reference->words.resize(count);
    for (size_t i = 0; i < count; i++) {
        const uint8* p = bytes.data() + 8 + i * 4;
        reference->words[i] =
            (uint32(p[3]) << 24) | (uint32(p[0]) << 16) | (uint32(p[1]) << 8) | uint32(p[2]);
    }
    return true;
}

// Any program's output in PAM (RGB_ALPHA or RGB, 8 bits), e.g. ImageMagick's
// `convert file -depth 8 pam:-`.
inline bool pam_reference(const std::string& pamPath, Reference* reference)
{
    std::vector<uint8> bytes = read_all(pamPath);
    std::string header(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 200));
    size_t end = header.find("ENDHDR\n");
    if (header.rfind("P7\n", 0) != 0 || end == std::string::npos)
        return false;
    auto field = [&](const char* name) {
        size_t at = header.find(std::string("\n") + name + " ");
        return at == std::string::npos ? -1 : std::atoi(header.c_str() + at + std::strlen(name) + 2);
    };
    int32 width = field("WIDTH"), height = field("HEIGHT"), depth = field("DEPTH"),
          maxval = field("MAXVAL");
    if (width <= 0 || height <= 0 || depth < 1 || depth > 4 || maxval != 255)
        return false;
    size_t count = size_t(width) * size_t(height), at = end + 7;
    if (bytes.size() < at + count * size_t(depth))
        return false;
    reference->width = width;
    reference->height = height;
    reference->words.resize(count);
    for (size_t i = 0; i < count; i++) {
        const uint8* p = bytes.data() + at + i * size_t(depth);
        uint32 r, g, b, a = 255;
        if (depth <= 2) {
            r = g = b = p[0];
            if (depth == 2)
                a = p[1];
        } else {
            r = p[0];
            g = p[1];
            b = p[2];
            if (depth == 4)
                a = p[3];
        }
        reference->words[i] = (a << 24) | (r << 16) | (g << 8) | b;
    }
    return true;
}

inline BPrivate::ImageSource source_of(const std::vector<uint8>& bytes, std::string extension = "")
{
    BPrivate::ImageSource source;
    source.data = bytes.data();
    source.size = bytes.size();
    source.extension = std::move(extension);
    return source;
}

// A read that must fail with status, hand back no bitmap and print nothing
// (the libraries' own messages silenced).
inline void expect_quiet_refusal(const BPrivate::ImageTranslator* translator,
                                 const std::vector<uint8>& bytes,
                                 const BPrivate::ReadBudget& budget, status_t status,
                                 const std::string& label)
{
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(status, translator->Read(source_of(bytes), budget, &bitmap)) << label;
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << label;
    EXPECT_EQ(nullptr, bitmap) << label;
}

// Reads a file with a translator and the default budget.
inline status_t read_with(const BPrivate::ImageTranslator* translator, const std::string& path,
                          std::unique_ptr<BBitmap>* bitmap,
                          const BPrivate::ReadBudget& budget = BPrivate::ReadBudget())
{
    std::vector<uint8> bytes = read_all(path);
    std::string extension = path.substr(path.find_last_of('.') + 1);
    BBitmap* raw = reinterpret_cast<BBitmap*>(1);
    status_t status = translator->Read(source_of(bytes, extension), budget, &raw);
    bitmap->reset(raw);
    if (status != B_OK) {
        EXPECT_EQ(nullptr, raw);
    }
    return status;
}

// The largest difference of any channel between a bitmap and a reference;
// alpha compared only when the bitmap has alpha (B_RGB32's is undefined).
// -1 when their sizes differ.
inline int32 largest_difference(const BBitmap& bitmap, const Reference& reference,
                                std::string* where = nullptr)
{
    if (bitmap.PixelWidth() != reference.width || bitmap.PixelHeight() != reference.height)
        return -1;
    const bool alpha = bitmap.ColorSpace() == B_RGBA32;
    int32 worst = 0;
    for (int32 y = 0; y < reference.height; y++) {
        const uint32* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(bitmap.Bits()) + size_t(y) * size_t(bitmap.BytesPerRow()));
        for (int32 x = 0; x < reference.width; x++) {
            uint32 ours = row[x], theirs = reference.words[size_t(y) * size_t(reference.width) + x];
            for (int shift = 0; shift < (alpha ? 32 : 24); shift += 8) {
                int32 d = std::abs(int32((ours >> shift) & 0xFF) - int32((theirs >> shift) & 0xFF));
                if (d > worst && where != nullptr) {
                    char text[100];
                    std::snprintf(text, sizeof text, "(%d, %d): ours %08X, theirs %08X", x, y,
                                  ours, theirs);
                    *where = text;
                }
                worst = std::max(worst, d);
            }
        }
    }
    return worst;
}

// ImageMagick's reading of a file's first picture, orientation applied.
inline bool magick_reference(const ScratchFolder& folder, const std::string& path,
                             Reference* reference)
{
    std::string out = folder / "reference.pam";
    return run_quietly("convert '" + path + "[0]' -auto-orient -colorspace sRGB -depth 8 'pam:" +
                       out + "'") &&
           pam_reference(out, reference);
}

enum class Decoder
{
    kPillow,
    kMagick,
};

// One file made by another program, read by us and by another decoder.
struct ReadCase
{
    const char* label;
    // A Python program (after kPythonSource) writing d + '/' + file; it may
    // call other programs with subprocess.
    const char* python;
    const char* file;
    Decoder reference;
    // The largest difference allowed on any channel.
    int32 tolerance;
    // When given, the reference decoder reads this file (made by the
    // program too, e.g. the format's own tool's PNG) instead of the input.
    const char* referenceFile = nullptr;
};

inline void PrintTo(const ReadCase& c, std::ostream* os)
{
    *os << c.label;
}

inline std::string case_name(const testing::TestParamInfo<ReadCase>& info)
{
    return info.param.label;
}

// Makes the case's file, reads it with the translator and compares.
inline void expect_read_like_reference(const BPrivate::ImageTranslator* translator,
                                       const ReadCase& c)
{
    if (!have_pillow() || !have_program("convert"))
        GTEST_SKIP() << "Pillow or ImageMagick missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + c.python)) << "could not make the file";
    const std::string path = folder / c.file;
    const std::string referencePath = c.referenceFile != nullptr ? folder / c.referenceFile : path;
    Reference reference;
    ASSERT_TRUE(c.reference == Decoder::kPillow
                    ? pillow_reference(folder, referencePath, &reference)
                    : magick_reference(folder, referencePath, &reference))
        << "the other decoder failed";
    std::unique_ptr<BBitmap> bitmap;
    testing::internal::CaptureStderr();
    status_t status = read_with(translator, path, &bitmap);
    std::string noise = testing::internal::GetCapturedStderr();
    ASSERT_EQ(B_OK, status);
    EXPECT_EQ("", noise);
    std::string where;
    int32 difference = largest_difference(*bitmap, reference, &where);
    EXPECT_GE(difference, 0) << "size " << bitmap->PixelWidth() << "x" << bitmap->PixelHeight()
                             << ", theirs " << reference.width << "x" << reference.height;
    EXPECT_LE(difference, c.tolerance) << where;
}

// A writable stream that fails every write.
class FailingIO : public BMallocIO
{
public:
    ssize_t WriteAt(off_t, const void*, size_t) override { return B_IO_ERROR; }
};

#endif // CODEC_TEST_SUPPORT_H
