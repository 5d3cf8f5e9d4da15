// Every picture of the reading corpus (tests/data/corpus: made/ and public/),
// read through both of the program's reading roles, the window's file path
// and the in-memory path `pellara-fuse -` uses, and compared with what the
// other decoders agree on.
//
// What the decoders read is kept in references.tsv (made by
// scripts/corpus-references.py): running Pillow, ImageMagick, FFmpeg and the
// formats' own tools on every file takes minutes, our reading takes seconds.
// A reading equal to an agreeing decoder's passes on its CRC alone; any
// other is judged live by the same script, within the file's comparison
// mode. Files the decoders disagree on are listed, not judged. What is
// known to be read wrong today is in known-mismatches.tsv: a file there
// must still mismatch, a file not there must match. With
// PELLARA_CORPUS_MISMATCHES naming a file, every mismatch found is also
// appended to it as a line of that table (scripts/corpus-mismatches.sh).
#include "CodecTestSupport.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <TranslationUtils.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kCorpus = std::string(PELLARA_TEST_DATA) + "/corpus";

// A manifest name (made/..., public/...) as a path here.
std::string path_of(const std::string& name)
{
    return kCorpus + "/" + name;
}

// One line of references.tsv.
struct CorpusFile
{
    std::string file;    // relative to the corpus folder
    std::string format;  // as the script sniffed it
    std::string crc;     // of the file's bytes, to tell a stale manifest
    std::string verdict; // read, refuse, disagree or split
    int32 width = 0, height = 0;
    std::string compare;                  // exact, near, lossy, premultiplied
    bool hiddenKept = false;              // transparent pixels' colour judged
    std::set<std::string> group;          // the decoders that agree
    std::map<std::string, std::string> digests; // decoder -> CRC of its reading
    std::string notes;
};

void PrintTo(const CorpusFile& f, std::ostream* os)
{
    *os << f.file;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

std::vector<CorpusFile> manifest()
{
    std::vector<CorpusFile> files;
    std::ifstream in(kCorpus + "/references.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> c = split(line, '\t');
        if (c.size() != 11)
            continue;
        CorpusFile f;
        f.file = c[0];
        f.format = c[1];
        f.crc = c[2];
        f.verdict = c[3];
        f.width = std::atoi(c[4].c_str());
        f.height = std::atoi(c[5].c_str());
        f.compare = c[6];
        f.hiddenKept = c[7] == "kept";
        if (c[8] != "-")
            for (const std::string& name : split(c[8], ','))
                f.group.insert(name);
        if (c[9] != "-")
            for (const std::string& pair : split(c[9], ',')) {
                size_t at = pair.find('=');
                if (at != std::string::npos)
                    f.digests[pair.substr(0, at)] = pair.substr(at + 1);
            }
        f.notes = c[10];
        files.push_back(f);
    }
    return files;
}

// known-mismatches.tsv: file, then the variant it stands for.
std::map<std::string, std::string> known_mismatches()
{
    std::map<std::string, std::string> known;
    std::ifstream in(kCorpus + "/known-mismatches.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> c = split(line, '\t');
        if (c.size() >= 2)
            known[c[0]] = c[1];
    }
    return known;
}

// A judged file read differently, as a line of known-mismatches.tsv, for
// whoever rebuilds that table: its variant when the table names one, else
// what differs, marked to be named.
void record_mismatch(const std::string& file, const std::string& variant)
{
    const char* out = std::getenv("PELLARA_CORPUS_MISMATCHES");
    if (out == nullptr || out[0] == '\0')
        return;
    std::string text = variant;
    for (char& ch : text)
        if (ch == '\t' || ch == '\n')
            ch = ' ';
    std::ofstream(out, std::ios::app) << file << '\t' << text << '\n';
}

bool present(const CorpusFile& f)
{
    return std::filesystem::is_regular_file(path_of(f.file));
}

std::vector<CorpusFile> present_files()
{
    std::vector<CorpusFile> files;
    for (const CorpusFile& f : manifest())
        if (present(f))
            files.push_back(f);
    return files;
}

std::string hex_crc(const std::vector<uint8>& bytes)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08lx",
                  crc32(0L, bytes.data(), uInt(bytes.size())) & 0xFFFFFFFFul);
    return text;
}

// A bitmap as the script's readings are: RGBA bytes row after row, opaque
// when it has no alpha, and a transparent pixel black unless its colour is
// judged.
std::vector<uint8> rgba_of(const BBitmap& bitmap, bool keepHidden)
{
    const bool alpha = bitmap.ColorSpace() == B_RGBA32;
    std::vector<uint8> out;
    out.reserve(size_t(bitmap.PixelWidth()) * size_t(bitmap.PixelHeight()) * 4);
    for (int32 y = 0; y < bitmap.PixelHeight(); y++) {
        const uint32* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(bitmap.Bits()) + size_t(y) * size_t(bitmap.BytesPerRow()));
        for (int32 x = 0; x < bitmap.PixelWidth(); x++) {
            const uint32 a = alpha ? row[x] >> 24 : 255;
            const uint32 word = a == 0 && !keepHidden ? 0 : row[x];
            out.push_back(uint8(word >> 16));
            out.push_back(uint8(word >> 8));
            out.push_back(uint8(word));
            out.push_back(uint8(a));
        }
    }
    return out;
}

void write_pam(const std::string& path, const BBitmap& bitmap)
{
    std::vector<uint8> rgba = rgba_of(bitmap, true);
    std::string header = "P7\nWIDTH " + std::to_string(bitmap.PixelWidth()) + "\nHEIGHT " +
                         std::to_string(bitmap.PixelHeight()) +
                         "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    std::vector<uint8> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), rgba.begin(), rgba.end());
    write_all(path, bytes);
}

// Runs a command; its standard output, and its exit status in *status.
std::string capture(const std::string& command, int* status)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

struct Reading
{
    status_t status = B_ERROR;
    std::unique_ptr<BBitmap> bitmap;
    std::string noise; // what the kit wrote on standard error meanwhile
};

// The window's role: a file path.
Reading read_as_file(const std::string& path)
{
    Reading r;
    BBitmap* raw = nullptr;
    testing::internal::CaptureStderr();
    r.status = BTranslationUtils::ReadBitmapFile(path.c_str(), &raw);
    r.noise = testing::internal::GetCapturedStderr();
    r.bitmap.reset(raw);
    return r;
}

// pellara-fuse's role for standard input: bytes in memory, no name.
Reading read_as_data(const std::string& path)
{
    Reading r;
    std::vector<uint8> bytes = read_all(path);
    BBitmap* raw = nullptr;
    testing::internal::CaptureStderr();
    r.status = read_bitmap_data(bytes.data(), bytes.size(), nullptr, &raw);
    r.noise = testing::internal::GetCapturedStderr();
    r.bitmap.reset(raw);
    return r;
}

// Empty when the two roles read the same picture (or both refused).
std::string roles_differ(const Reading& file, const Reading& data)
{
    if ((file.status == B_OK) != (data.status == B_OK))
        return std::string("the file path ") + (file.status == B_OK ? "reads" : "refuses") +
               " it, the in-memory path " + (data.status == B_OK ? "reads" : "refuses") + " it";
    if (file.status != B_OK)
        return "";
    const BBitmap& a = *file.bitmap;
    const BBitmap& b = *data.bitmap;
    if (a.PixelWidth() != b.PixelWidth() || a.PixelHeight() != b.PixelHeight() ||
        a.ColorSpace() != b.ColorSpace())
        return "the two paths read different sizes or colour spaces";
    if (rgba_of(a, true) != rgba_of(b, true))
        return "the two paths read different pixels";
    return "";
}

std::string status_name(status_t status)
{
    switch (status) {
    case B_NO_TRANSLATOR:
        return "no translator";
    case B_ILLEGAL_DATA:
        return "corrupt or truncated";
    case B_NO_MEMORY:
        return "too large";
    default:
        return "status " + std::to_string(status);
    }
}

// Our reading against the manifest: empty when it matches; *skipped when no
// agreeing decoder is installed here to judge a reading the CRCs do not know.
std::string judge(const CorpusFile& f, const Reading& ours, std::string* skipped)
{
    if (f.verdict == "refuse")
        return ours.status == B_OK ? "read " + std::to_string(ours.bitmap->PixelWidth()) + "x" +
                                         std::to_string(ours.bitmap->PixelHeight()) +
                                         " where every decoder refuses it"
                                   : "";
    if (ours.status != B_OK)
        return "refused (" + status_name(ours.status) + ") where " +
               std::to_string(f.group.size()) + " decoders read it";
    const BBitmap& bitmap = *ours.bitmap;
    if (bitmap.ColorSpace() != B_RGB32 && bitmap.ColorSpace() != B_RGBA32)
        return "a bitmap neither B_RGB32 nor B_RGBA32";
    if (bitmap.PixelWidth() != f.width || bitmap.PixelHeight() != f.height)
        return "read " + std::to_string(bitmap.PixelWidth()) + "x" +
               std::to_string(bitmap.PixelHeight()) + " where the decoders read " +
               std::to_string(f.width) + "x" + std::to_string(f.height);
    const std::string crc = hex_crc(rgba_of(bitmap, f.hiddenKept));
    std::string equalsOther;
    for (const auto& [decoder, digest] : f.digests) {
        if (digest != crc)
            continue;
        if (f.group.count(decoder) != 0)
            return "";
        equalsOther = decoder;
    }
    // No agreeing reading to the bit: close enough, within the file's mode?
    ScratchFolder folder;
    const std::string pam = folder / "ours.pam";
    write_pam(pam, bitmap);
    int status = 0;
    std::string verdict = capture(python() + " '" + PELLARA_CORPUS_SCRIPT + "' --judge '" +
                                      f.file + "' '" + pam + "' 2>&1",
                                  &status);
    if (status == 0)
        return "";
    if (status == 2) {
        *skipped = verdict;
        return "";
    }
    if (!equalsOther.empty())
        verdict += "; it is " + equalsOther + "'s reading, which the others do not share";
    return verdict;
}

std::string join(const std::set<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "-" : text;
}

class Corpus : public testing::TestWithParam<CorpusFile>
{
};

TEST_P(Corpus, ReadsAsTheOtherDecodersAgree)
{
    const CorpusFile& f = GetParam();
    const std::string path = path_of(f.file);
    Reading file = read_as_file(path);
    Reading data = read_as_data(path);
    // Whatever the outcome, the kit says nothing: the tool's one line, if
    // any, is all a user sees.
    EXPECT_EQ("", file.noise);
    EXPECT_EQ("", data.noise);
    std::string mismatch = roles_differ(file, data);
    const bool listed = f.verdict == "disagree" || f.verdict == "split";
    std::string skipped;
    if (mismatch.empty() && !listed)
        mismatch = judge(f, file, &skipped);
    if (!skipped.empty())
        GTEST_SKIP() << skipped;

    static const std::map<std::string, std::string> known = known_mismatches();
    auto entry = known.find(f.file);
    if (listed) {
        // Not judged; what we make of it is said for whoever fixes a reader.
        std::string ours = "refused";
        if (file.status == B_OK) {
            ours = std::to_string(file.bitmap->PixelWidth()) + "x" +
                   std::to_string(file.bitmap->PixelHeight());
            const std::string crc = hex_crc(rgba_of(*file.bitmap, false));
            for (const auto& [decoder, digest] : f.digests)
                if (digest == crc)
                    ours += ", " + decoder + "'s reading";
        }
        std::printf("listed (%s): %s: ours %s; %s\n", f.verdict.c_str(), f.file.c_str(),
                    ours.c_str(), f.notes.c_str());
        EXPECT_TRUE(entry == known.end())
            << f.file << " is listed, not judged: take it out of known-mismatches.tsv";
        if (!mismatch.empty()) // the roles must agree all the same
            ADD_FAILURE() << f.file << ": " << mismatch;
        return;
    }
    if (!mismatch.empty())
        record_mismatch(f.file, entry != known.end() ? entry->second : "NEW: " + mismatch);
    if (entry == known.end()) {
        if (!mismatch.empty())
            ADD_FAILURE() << f.file << ": " << mismatch << " (agreeing: " << join(f.group)
                          << "; others: " << f.notes << ")";
    } else if (mismatch.empty()) {
        ADD_FAILURE() << f.file << " (" << entry->second
                      << ") now reads as the others do: take it out of known-mismatches.tsv";
    } else {
        std::printf("known (%s): %s: %s\n", entry->second.c_str(), f.file.c_str(),
                    mismatch.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Corpus, testing::ValuesIn(present_files()),
                         [](const testing::TestParamInfo<CorpusFile>& info) {
                             std::string name = info.param.file;
                             for (char& ch : name)
                                 if (!std::isalnum(uint8(ch)))
                                     ch = '_';
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Corpus);

// The manifest describes the corpus as it is: every file has its line and
// every line the file's present bytes; else run scripts/corpus-references.py.
TEST(CorpusManifest, DescribesEveryFilePresent)
{
    std::map<std::string, CorpusFile> rows;
    for (const CorpusFile& f : manifest())
        rows[f.file] = f;
    ASSERT_FALSE(rows.empty());
    size_t made = 0, publicFiles = 0;
    for (const std::string part : {"made", "public"}) {
        const std::string root = kCorpus + "/" + part;
        if (!std::filesystem::is_directory(root))
            continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file())
                continue;
            const std::string rel =
                part + "/" + std::filesystem::relative(entry.path(), root).string();
            (part == "made" ? made : publicFiles)++;
            auto row = rows.find(rel);
            ASSERT_NE(rows.end(), row) << rel << " has no line in references.tsv";
            EXPECT_EQ(row->second.crc, hex_crc(read_all(entry.path().string())))
                << rel << " changed since references.tsv was made";
        }
    }
    EXPECT_GT(made, 100u) << "the made/ pictures are missing";
    EXPECT_GT(publicFiles, 100u) << "the public/ pictures are missing";
    for (const auto& [rel, row] : rows)
        EXPECT_TRUE(present(row)) << rel << " is in references.tsv but not in the corpus";
}

// The table of known mismatches names files the manifest judges.
TEST(CorpusManifest, KnownMismatchesAreJudgedFiles)
{
    std::map<std::string, std::string> verdicts;
    for (const CorpusFile& f : manifest())
        verdicts[f.file] = f.verdict;
    for (const auto& [file, variant] : known_mismatches()) {
        auto v = verdicts.find(file);
        ASSERT_NE(verdicts.end(), v) << file << " (" << variant << ") is not in the corpus";
        EXPECT_TRUE(v->second == "read" || v->second == "refuse")
            << file << " is " << v->second << ", so it is not judged";
        EXPECT_FALSE(variant.empty()) << file;
    }
}

// The digests the manifest keeps are taken exactly as ours are: a picture
// whose colour under alpha 0 differs only there has one digest when that
// colour is free, two when it is kept; a picture without alpha is opaque.
TEST(CorpusDigest, TransparentColourCountsOnlyWhenKept)
{
    BBitmap a(BRect(0, 0, 1, 0), B_RGBA32), b(BRect(0, 0, 1, 0), B_RGBA32);
    uint32* pa = static_cast<uint32*>(a.Bits());
    uint32* pb = static_cast<uint32*>(b.Bits());
    pa[0] = pb[0] = 0x80102030u;
    pa[1] = 0x00FF0000u; // transparent red
    pb[1] = 0x0000FF00u; // transparent green
    EXPECT_EQ(hex_crc(rgba_of(a, false)), hex_crc(rgba_of(b, false)));
    EXPECT_NE(hex_crc(rgba_of(a, true)), hex_crc(rgba_of(b, true)));
    const std::vector<uint8> expected = {0x10, 0x20, 0x30, 0x80, 0, 0, 0, 0};
    EXPECT_EQ(expected, rgba_of(a, false));

    BBitmap opaque(BRect(0, 0, 0, 0), B_RGB32);
    static_cast<uint32*>(opaque.Bits())[0] = 0x00ABCDEFu; // B_RGB32's alpha byte is junk
    const std::vector<uint8> shown = {0xAB, 0xCD, 0xEF, 0xFF};
    EXPECT_EQ(shown, rgba_of(opaque, false));
    // zlib's CRC-32 is the one Python's zlib.crc32 gives: "123456789".
    const std::vector<uint8> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ("cbf43926", hex_crc(check));
}

} // namespace
