// pellara-fuse over damaged copies of small valid pictures of every format
// it reads: each run ends in exactly one line on standard error when it
// fails and in none when it succeeds, whatever library read the file, and
// costs what a small file may cost. The damage comes from a fixed seed, so
// every run tries the same files; a mutant is named by its seed file and
// number, and kept by setting PELLARA_KEEP_MUTANTS to a folder.
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>

#include <Bitmap.h>
#include <Frames.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::string;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// What one small file may cost the tool, start and stereogram included.
constexpr double kMostSeconds = 5.0;
constexpr long kMostResidentKiB = 500 * 1024;
// Fewer under the sanitizers, where each run costs several times more (the
// fuzz targets try our translators there at length). PELLARA_MUTANTS=N
// tries N a seed instead, for a longer campaign.
int mutants_per_seed()
{
    const char* wanted = std::getenv("PELLARA_MUTANTS");
    if (wanted != nullptr && std::atoi(wanted) > 0)
        return std::atoi(wanted);
    return kSanitized ? 6 : 16;
}

// Mutants known to cost more, until the readers concerned are held to the
// budget: still one line or none, but no cost check.
struct KnownCost
{
    const char* seed;
    int mutant;
};
const std::vector<KnownCost> kKnownCosts = {};

bool known_cost(const std::string& seed, int mutant)
{
    return std::any_of(kKnownCosts.begin(), kKnownCosts.end(),
                       [&](const KnownCost& k) { return seed == k.seed && mutant == k.mutant; });
}

Bytes slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// splitmix64: the same numbers on every machine and library.
class Random
{
public:
    explicit Random(uint64_t seed) : fState(seed) {}
    uint64_t Next()
    {
        uint64_t z = (fState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return n == 0 ? 0 : size_t(Next() % n); }

private:
    uint64_t fState;
};

uint64_t hash_of(const std::string& text)
{
    uint64_t h = 1469598103934665603ull;
    for (char c : text)
        h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
}

// Headers decide what a reader allocates: most damage goes there.
size_t place(Random& random, size_t size)
{
    return random.Below(4) != 0 ? random.Below(std::min<size_t>(size, 64)) : random.Below(size);
}

Bytes mutate(Bytes bytes, Random& random)
{
    static const uint32_t kInteresting[] = {
        0,      1,          0x7F,       0x80,       0xFF,       0x7FFF,     0x8000, 0xFFFF,
        0x4000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x2000000C, 0x01000000, 16384};
    const int operations = 1 + int(random.Below(3));
    for (int i = 0; i < operations && bytes.size() > 1; i++) {
        const size_t at = place(random, bytes.size());
        switch (random.Below(7)) {
        case 0: // one bit
            bytes[at] = char(bytes[at] ^ (1 << random.Below(8)));
            break;
        case 1: // one byte
            bytes[at] = char(kInteresting[random.Below(std::size(kInteresting))]);
            break;
        case 2: { // a 16- or 32-bit field, either byte order
            const uint32_t value = kInteresting[random.Below(std::size(kInteresting))];
            const size_t width = random.Below(2) ? 4 : 2;
            const bool big = random.Below(2) != 0;
            for (size_t k = 0; k < width && at + k < bytes.size(); k++) {
                const size_t shift = 8 * (big ? width - 1 - k : k);
                bytes[at + k] = char(value >> shift);
            }
            break;
        }
        case 3: // cut short
            bytes.resize(1 + random.Below(bytes.size() - 1));
            break;
        case 4: // a span gone
            bytes.erase(at, 1 + random.Below(16));
            break;
        case 5: { // a span of noise added
            Bytes noise(1 + random.Below(16), '\0');
            for (char& c : noise)
                c = char(random.Next());
            bytes.insert(at, noise);
            break;
        }
        case 6: { // a span repeated elsewhere
            const size_t length = 1 + random.Below(std::min<size_t>(32, bytes.size() - at));
            bytes.insert(random.Below(bytes.size()), bytes.substr(at, length));
            break;
        }
        }
    }
    return bytes;
}

// Formats only Qt's plugins read, made here with Qt's own writers.
Bytes qt_written(const char* format)
{
    QImage image(24, 16, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); y++)
        for (int x = 0; x < image.width(); x++)
            image.setPixel(x, y, qRgba(x * 10, y * 15, 200 - x * 5, 255));
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        return Bytes();
    return Bytes(data.constData(), size_t(data.size()));
}

uint32_t crc32_of(const Bytes& bytes, size_t from, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = from; i < from + length; i++) {
        crc ^= uint8_t(bytes[i]);
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void be32(Bytes& b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(char(v >> shift));
}

void chunk(Bytes& b, const char* type, const Bytes& data)
{
    be32(b, uint32_t(data.size()));
    const size_t start = b.size();
    b += type;
    b += data;
    be32(b, crc32_of(b, start, b.size() - start));
}

// A one-frame MNG: MHDR, a whole 8 x 8 grey PNG stream (stored deflate),
// MEND.
Bytes mng()
{
    Bytes raw;
    for (int y = 0; y < 8; y++) {
        raw.push_back('\0'); // no filter
        for (int x = 0; x < 8; x++)
            raw.push_back(char(x * 32 + y * 4));
    }
    Bytes z = {'\x78', '\x01', '\x01'};
    z.push_back(char(raw.size()));
    z.push_back(char(raw.size() >> 8));
    z.push_back(char(~raw.size()));
    z.push_back(char(~raw.size() >> 8));
    z += raw;
    uint32_t a = 1, b = 0;
    for (char c : raw) {
        a = (a + uint8_t(c)) % 65521;
        b = (b + a) % 65521;
    }
    be32(z, (b << 16) | a);

    Bytes out = "\x8aMNG\r\n\x1a\n";
    Bytes header;
    for (uint32_t v : {8u, 8u, 1u, 0u, 0u, 0u, 1u})
        be32(header, v);
    chunk(out, "MHDR", header);
    Bytes ihdr;
    be32(ihdr, 8);
    be32(ihdr, 8);
    ihdr += Bytes("\x08\x00\x00\x00\x00", 5);
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", z);
    chunk(out, "IEND", "");
    chunk(out, "MEND", "");
    return out;
}

// An icon whose one picture is a PNG (read by Qt's PNG reader inside the
// ICO reader, or by ImageMagick's).
Bytes ico_with_png()
{
    Bytes png = slurp(std::string(PELLARA_FUZZ_CORPUS) + "/png/rgba8.png");
    Bytes out("\0\0\1\0\1\0", 6);
    out += Bytes("\0\0\0\0\1\0\x20\0", 8); // 256 x 256, 32 bits
    for (uint32_t v : {uint32_t(png.size()), 22u})
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(char(v >> shift));
    return out + png;
}

// An APNG of two frames, as pellara-fuse writes one.
Bytes apng()
{
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("pellara-seed-" + std::to_string(getpid()) + ".apng"))
                                 .string();
    auto writer = fuse::CreateFrameWriter(fuse::ClipFormat::kApng, path);
    std::string why;
    for (uint32_t i = 0; i < 2; i++) {
        BBitmap frame(BRect(0, 0, 11, 7), B_RGB32);
        auto* bits = static_cast<uint32_t*>(frame.Bits());
        for (uint32_t k = 0; k < 96; k++)
            bits[k] = 0xFF000000u | (k * (i + 1) * 0x020305u & 0xFFFFFFu);
        writer->Add(&frame, 100, &why);
    }
    writer->Finish(&why);
    Bytes bytes = slurp(path);
    std::filesystem::remove(path);
    return bytes;
}

Bytes svg()
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
           "<rect x=\"5\" y=\"5\" width=\"30\" height=\"20\" fill=\"#808080\"/></svg>\n";
}

struct Seed
{
    const char* name; // also the mutants' file name: some readers use the extension
    const char* file; // under the fuzz corpus or the test data; null: made
    Bytes (*make)();
};

void PrintTo(const Seed& s, std::ostream* os)
{
    *os << s.name;
}

const Seed kSeeds[] = {
    {"rgba8.png", "png/rgba8.png", nullptr},
    {"palette4.png", "png/interlaced-palette4.png", nullptr},
    {"baseline.jpg", "jpeg/baseline.jpg", nullptr},
    {"progressive.jpg", "jpeg/progressive.jpg", nullptr},
    {"arithmetic.jpg", "jpeg/arithmetic.jpg", nullptr},
    {"rgb.tif", "tiff/rgb.tif", nullptr},
    {"lzw.tif", "tiff/lzw.tif", nullptr},
    {"rgba10-planar.tif", "tiff/rgba10-planar.tif", nullptr},
    {"lossy.webp", "webp/lossy.webp", nullptr},
    {"lossless.webp", "webp/lossless-alpha.webp", nullptr},
    {"animation.webp", "webp/animation.webp", nullptr},
    {"photo.heic", "heif/photo.heic", nullptr},
    {"lossy.avif", "heif/lossy.avif", nullptr},
    {"lossy.jxl", "jxl/lossy.jxl", nullptr},
    {"lossless.jxl", "jxl/lossless.jxl", nullptr},
    {"lossy.jp2", "jpeg2000/lossy.jp2", nullptr},
    {"tiled.j2k", "jpeg2000/tiled.j2k", nullptr},
    {"half.exr", "exr/half.exr", nullptr},
    {"depth.pfm", "pfm/depth.pfm", nullptr},
    {"interlaced.gif", "gif/interlaced.gif", nullptr},
    {"animated.gif", "gif/animated.gif", nullptr},
    {"animation.apng", nullptr, apng},
    {"rgb24.bmp", "magick/rgb24.bmp", nullptr},
    {"os2.bmp", "magick/os2.bmp", nullptr},
    {"rle8.bmp", "magick/rle8.bmp", nullptr},
    {"rle.tga", "magick/rle.tga", nullptr},
    {"palette.tga", "magick/palette-rle.tga", nullptr},
    {"rle.psd", "magick/rle.psd", nullptr},
    {"dxt1.dds", "magick/dxt1.dds", nullptr},
    {"grey.sgi", "magick/grey.sgi", nullptr},
    {"palette.pcx", "magick/palette.pcx", nullptr},
    {"icons.ico", "magick/icons.ico", nullptr},
    {"grey.pgm", "magick/grey.pgm", nullptr},
    {"mono.pbm", "magick/mono.pbm", nullptr},
    {"mono.xbm", "magick/mono.xbm", nullptr},
    {"png.ico", nullptr, ico_with_png},
    {"qt.icns", nullptr, [] { return qt_written("icns"); }},
    {"qt.cur", nullptr, [] { return qt_written("cur"); }},
    {"qt.wbmp", nullptr, [] { return qt_written("wbmp"); }},
    {"qt.xpm", nullptr, [] { return qt_written("xpm"); }},
    {"one.mng", nullptr, mng},
    {"shape.svg", nullptr, svg},
};

// PNGs damaged inside the containers only Qt's readers take, where libpng
// and Qt's buffers used to add lines of their own.
Bytes damaged_png_in_icns(const char* chunkName, size_t offset)
{
    Bytes icns = qt_written("icns");
    const size_t at = icns.find(chunkName);
    if (at == Bytes::npos || at + offset >= icns.size())
        return Bytes();
    icns[at + offset] = char(icns[at + offset] ^ 0x5A);
    return icns;
}

struct Damage
{
    const char* name;
    Bytes (*make)();
};

const Damage kDamages[] = {
    // IHDR's CRC ("libpng error: IHDR: CRC error").
    {"ihdr-crc.icns", [] { return damaged_png_in_icns("IHDR", 4 + 13 + 1); }},
    // Compressed data ("libpng error: IDAT: incorrect data check" and kin).
    {"idat-data.icns", [] { return damaged_png_in_icns("IDAT", 4 + 6); }},
    // An icon entry far past the file's end ("QBuffer::seek: Invalid pos").
    {"far-entry.ico",
     [] {
         Bytes ico = ico_with_png();
         ico[18] = '\x16';
         ico[21] = '\x09';
         return ico;
     }},
};

struct Outcome
{
    int status = -1; // exit status, or -signal
    std::string err;
    double seconds = 0;
    long residentKiB = 0;
};

// The tool on one file, as a user runs it; its CPU time and peak memory as
// the kernel counts them. Limits in the child end a runaway.
Outcome run_fuse(const std::string& folder, const std::string& depth)
{
    const std::string errPath = folder + "/stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(devNull, 1);
        dup2(err, 2);
        struct rlimit cpu = {120, 120};
        setrlimit(RLIMIT_CPU, &cpu);
        if (!kSanitized) {
            // Far above the limit checked: only keeps a runaway off the machine.
            struct rlimit memory = {rlim_t(8) << 30, rlim_t(8) << 30};
            setrlimit(RLIMIT_AS, &memory);
        }
        const std::string pattern = std::string(PELLARA_EXAMPLES_DIR) + "/pattern.png";
        const std::string out = folder + "/out.png";
        // The seeds are small: --quiet keeps the warning that a picture is
        // narrower than one repeat off the lines counted. --frame 1: an
        // animated seed gives its first frame, as a still output of a clip
        // must ask.
        execl(PELLARA_FUSE_PATH, PELLARA_FUSE_PATH, depth.c_str(), pattern.c_str(), out.c_str(),
              "--quiet", "--frame", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    Outcome outcome;
    int status = 0;
    struct rusage usage
    {
    };
    wait4(child, &status, 0, &usage);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    outcome.err = slurp(errPath);
    outcome.seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    outcome.residentKiB = usage.ru_maxrss;
    return outcome;
}

// Mutants longer campaigns found (PELLARA_MUTANTS), tried on every run.
struct Found
{
    const char* seed;
    int mutant;
};
const Found kFoundByCampaigns[] = {
    {"lossy.avif", 42}, // dav1d's "Unknown OBU type 14 of size 181"
};

Bytes seed_bytes(const Seed& seed)
{
    return seed.file != nullptr ? slurp(std::string(PELLARA_FUZZ_CORPUS) + "/" + seed.file)
                                : seed.make();
}

// The mutant a campaign makes as its number index from the seed.
Bytes mutant_of(const Seed& seed, int index)
{
    const Bytes original = seed_bytes(seed);
    Random random(hash_of(seed.name));
    Bytes mutant;
    for (int i = 0; i <= index; i++)
        mutant = mutate(original, random);
    return mutant;
}

// A scratch folder for the files given to the tool.
class MutationFolder : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-mutants-XXXXXX").string();
        fFolder = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(fFolder); }

    std::string Write(const std::string& name, const Bytes& bytes) const
    {
        const std::string path = fFolder + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string fFolder;
};

class Mutants : public MutationFolder, public testing::WithParamInterface<Seed>
{
protected:
    Bytes SeedBytes() const { return seed_bytes(GetParam()); }
};

TEST_P(Mutants, OneLineOrNoneAtTheCostOfASmallFile)
{
    const Seed& seed = GetParam();
    const Bytes original = SeedBytes();
    ASSERT_FALSE(original.empty()) << "no seed";
    // The seed itself reads, silently: the mutants start from a real picture.
    // SVG has no header the reader can check and is refused whole, in one
    // line; its mutants must be refused the same way.
    Outcome clean = run_fuse(fFolder, Write(seed.name, original));
    if (std::string(seed.name) == "shape.svg") {
        ASSERT_EQ(1, clean.status) << clean.err;
        ASSERT_EQ(1, std::count(clean.err.begin(), clean.err.end(), '\n')) << clean.err;
    } else {
        ASSERT_EQ(0, clean.status) << clean.err;
        ASSERT_EQ("", clean.err);
    }

    const char* keep = std::getenv("PELLARA_KEEP_MUTANTS");
    Random random(hash_of(seed.name));
    double mostSeconds = 0;
    long mostKiB = 0;
    const int count = mutants_per_seed();
    for (int i = 0; i < count; i++) {
        const Bytes mutant = mutate(original, random);
        const std::string path = Write(seed.name, mutant);
        fs::remove(fFolder + "/out.png");
        Outcome run = run_fuse(fFolder, path);
        const std::string label = std::string(seed.name) + " mutant " + std::to_string(i);
        if (keep != nullptr)
            std::ofstream(std::string(keep) + "/" + std::to_string(i) + "-" + seed.name,
                          std::ios::binary)
                << mutant;
        SCOPED_TRACE(label);
        ASSERT_TRUE(run.status == 0 || run.status == 1)
            << "status " << run.status << ": " << run.err;
        if (run.status == 0) {
            EXPECT_EQ("", run.err);
            EXPECT_TRUE(fs::exists(fFolder + "/out.png"));
        } else {
            EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
            EXPECT_EQ(0u, run.err.rfind("pellara-fuse: ", 0)) << run.err;
            EXPECT_EQ('\n', run.err.empty() ? '\0' : run.err.back()) << run.err;
        }
        std::printf("[ COST     ] %s: %d, %.2f s, %ld MiB\n", label.c_str(), run.status,
                    run.seconds, run.residentKiB / 1024);
        mostSeconds = std::max(mostSeconds, run.seconds);
        mostKiB = std::max(mostKiB, run.residentKiB);
        if (kSanitized || known_cost(seed.name, i))
            continue;
        EXPECT_LE(run.seconds, kMostSeconds) << "CPU time";
        EXPECT_LE(run.residentKiB, kMostResidentKiB) << "peak memory";
    }
    RecordProperty("most_cpu_seconds", std::to_string(mostSeconds));
    RecordProperty("most_resident_mib", std::to_string(mostKiB / 1024));
}

using Damaged = MutationFolder;

TEST_F(Damaged, PngsInsideIconsFailInOneLine)
{
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(damage.name);
        const Bytes bytes = damage.make();
        ASSERT_FALSE(bytes.empty());
        Outcome run = run_fuse(fFolder, Write(damage.name, bytes));
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_EQ(0u, run.err.rfind("pellara-fuse: cannot read '", 0)) << run.err;
    }
}

TEST_F(Damaged, WhatCampaignsFoundFailsInOneLineOrReads)
{
    for (const Found& found : kFoundByCampaigns) {
        const std::string label =
            std::string(found.seed) + " mutant " + std::to_string(found.mutant);
        SCOPED_TRACE(label);
        const Seed* seed = nullptr;
        for (const Seed& s : kSeeds)
            if (std::string(s.name) == found.seed)
                seed = &s;
        ASSERT_NE(nullptr, seed);
        Outcome run = run_fuse(fFolder, Write(seed->name, mutant_of(*seed, found.mutant)));
        ASSERT_TRUE(run.status == 0 || run.status == 1) << run.status;
        EXPECT_EQ(run.status == 0 ? 0 : 1, std::count(run.err.begin(), run.err.end(), '\n'))
            << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Mutants, testing::ValuesIn(kSeeds),
                         [](const testing::TestParamInfo<Seed>& info) {
                             std::string name = info.param.name;
                             std::replace_if(
                                 name.begin(), name.end(),
                                 [](char ch) { return !std::isalnum(uint8_t(ch)); }, '_');
                             return name;
                         });

} // namespace
