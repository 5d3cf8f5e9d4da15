// A save killed outright (SIGKILL) at each of its steps, in a child
// process: every name of the file must hold the old picture or the new one,
// once the next save into the folder has cleaned up after it.
#include <SaveDestinations.h>

#include <SafeFileWriter.h>
#include <SafeFileWriterPrivate.h>

#include <gtest/gtest.h>

#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace save_destinations;
using BPrivate::safe_write_step;

std::string bytes_of(size_t size, uint32 seed)
{
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return bytes;
}

constexpr size_t kPiece = BPrivate::kSafeWritePiece;
const std::string kOldPicture = bytes_of(5 * kPiece + 123, 1);
const std::string kNewLonger = bytes_of(7 * kPiece + 45, 2);
const std::string kNewShorter = bytes_of(2 * kPiece + 7, 3);

// Where the child dies: at the first call of the step with at least this
// many bytes done.
safe_write_step gKillAt;
uint64 gKillAfter;

void kill_at_step(safe_write_step at, uint64 done)
{
    if (at == gKillAt && done >= gKillAfter)
        raise(SIGKILL);
}

// Runs the save in a child killed at (step, after); false if the save ran
// to its end instead.
bool save_killed(const std::string& path, const std::string& bytes, safe_write_step step,
                 uint64 after, bool asNobody = false)
{
    pid_t child = fork();
    if (child == 0) {
        gKillAt = step;
        gKillAfter = after;
        BPrivate::set_safe_write_step_hook(kill_at_step);
        AsNobody user(asNobody);
        SafeFileWriter writer;
        writer.WriteFile(path.c_str(), bytes.data(), bytes.size());
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// The next save into the folder, of another file.
void save_beside(Scene& scene, bool asNobody = false)
{
    AsNobody user(asNobody);
    SafeFileWriter writer;
    EXPECT_EQ(B_OK, writer.WriteFile((scene / "later.png").c_str(), "later", 5))
        << writer.ErrorMessage();
}

std::vector<std::string> temporaries(const Scene& scene)
{
    std::vector<std::string> found;
    for (const std::string& name : scene.Names())
        if (name.size() > 8 && name.compare(name.size() - 8, 8, ".pellara") == 0)
            found.push_back(name);
    return found;
}

enum Layout
{
    kPlainFile,                // replaced by a rename
    kNoFile,                   // created
    kHardLinks,                // rewritten in place: three names, one in a subfolder
    kOthersFileInStickyFolder, // rewritten in place by nobody (root only)
};

struct Kill
{
    const char* label;
    Layout layout;
    const std::string* bytes;
    safe_write_step step;
    uint64 after;
    bool becomesNew; // what every name holds once cleaned up
};

void PrintTo(const Kill& k, std::ostream* os)
{
    *os << k.label;
}

const Kill kKills[] = {
    {"RenameWhileWritingTheTemporary", kPlainFile, &kNewLonger, BPrivate::kWritingTemporary,
     2 * kPiece, false},
    {"RenameBeforeTheRename", kPlainFile, &kNewLonger, BPrivate::kTemporaryWritten, 0, false},
    {"CreateWhileWritingTheTemporary", kNoFile, &kNewLonger, BPrivate::kWritingTemporary, kPiece,
     false},
    {"LinksOnceTheJournalIsWritten", kHardLinks, &kNewLonger, BPrivate::kJournalWritten, 0, false},
    {"LinksAfterTheFirstPiece", kHardLinks, &kNewLonger, BPrivate::kRewriting, kPiece, false},
    {"LinksHalfRewritten", kHardLinks, &kNewLonger, BPrivate::kRewriting, 4 * kPiece, false},
    // Past the old length: the file has grown.
    {"LinksRewrittenPastTheOldEnd", kHardLinks, &kNewLonger, BPrivate::kRewriting, 6 * kPiece,
     false},
    // Shorter: the new bytes are in, the old tail not yet cut.
    {"LinksShorterBeforeTheCut", kHardLinks, &kNewShorter, BPrivate::kRewriting, kNewShorter.size(),
     false},
    {"LinksRewrittenJournalStillThere", kHardLinks, &kNewLonger, BPrivate::kRewritten, 0, true},
    {"LinksShorterRewritten", kHardLinks, &kNewShorter, BPrivate::kRewritten, 0, true},
    {"OthersFileHalfRewritten", kOthersFileInStickyFolder, &kNewLonger, BPrivate::kRewriting,
     3 * kPiece, false},
};

class KilledSave : public testing::TestWithParam<Kill>
{
protected:
    // Sets the layout up; the names that must hold a picture afterwards.
    std::vector<std::string> Prepare(Scene& scene, const Kill& kill)
    {
        const std::string target = scene / "picture.png";
        switch (kill.layout) {
        case kNoFile:
            return {target};
        case kPlainFile:
            put(target, kOldPicture);
            return {target};
        case kHardLinks:
            put(target, kOldPicture);
            mkdir((scene / "sub").c_str(), 0755);
            EXPECT_EQ(0, link(target.c_str(), (scene / "second.png").c_str()));
            EXPECT_EQ(0, link(target.c_str(), (scene / "sub/third.png").c_str()));
            return {target, scene / "second.png", scene / "sub/third.png"};
        case kOthersFileInStickyFolder:
            if (!is_root())
                return {};
            put(target, kOldPicture);
            chmod(target.c_str(), 0666);
            chmod(scene.folder.c_str(), 01777);
            return {target};
        }
        return {};
    }
};

TEST_P(KilledSave, EveryNameHoldsTheOldOrTheNewPicture)
{
    const Kill& kill = GetParam();
    Scene scene;
    const std::vector<std::string> names = Prepare(scene, kill);
    if (names.empty())
        GTEST_SKIP() << "saving another user's file as nobody needs root";
    const bool asNobody = kill.layout == kOthersFileInStickyFolder;
    const struct stat before = lstat_of(names[0]);

    ASSERT_TRUE(save_killed(names[0], *kill.bytes, kill.step, kill.after, asNobody))
        << "the save ended before the step";
    if (kill.layout == kPlainFile || kill.layout == kNoFile) {
        // The rename path never touches the file itself.
        for (const std::string& name : names)
            EXPECT_EQ(kill.layout == kNoFile ? "" : kOldPicture, slurp(name)) << name;
    }
    EXPECT_FALSE(temporaries(scene).empty()) << "nothing left to clean up: the test proves nothing";

    save_beside(scene, asNobody);
    const std::string& expected = kill.becomesNew ? *kill.bytes : kOldPicture;
    for (const std::string& name : names) {
        if (kill.layout == kNoFile)
            EXPECT_FALSE(fs::exists(name)) << name;
        else
            EXPECT_TRUE(slurp(name) == expected) << name << ": neither picture";
    }
    EXPECT_EQ(std::vector<std::string>{}, temporaries(scene));
    if (kill.layout == kHardLinks || kill.layout == kOthersFileInStickyFolder) {
        EXPECT_EQ(before.st_ino, lstat_of(names[0]).st_ino);
        EXPECT_EQ(before.st_uid, lstat_of(names[0]).st_uid);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, KilledSave, testing::ValuesIn(kKills),
                         [](const auto& info) { return std::string(info.param.label); });

// The clean-up can be killed too: putting the old bytes back is itself
// taken up again by the save after it.
TEST(KilledCleanUp, IsTakenUpAgain)
{
    Scene scene;
    put(scene / "a.png", kOldPicture);
    EXPECT_EQ(0, link((scene / "a.png").c_str(), (scene / "b.png").c_str()));
    ASSERT_TRUE(save_killed(scene / "a.png", kNewLonger, BPrivate::kRewriting, 3 * kPiece));
    pid_t child = fork();
    if (child == 0) {
        gKillAt = BPrivate::kRestoring;
        gKillAfter = kPiece;
        BPrivate::set_safe_write_step_hook(kill_at_step);
        SafeFileWriter writer;
        writer.WriteFile((scene / "later.png").c_str(), "x", 1);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the clean-up ended before putting bytes back";
    EXPECT_EQ(1u, temporaries(scene).size());
    save_beside(scene);
    EXPECT_TRUE(slurp(scene / "a.png") == kOldPicture);
    EXPECT_TRUE(slurp(scene / "b.png") == kOldPicture);
    EXPECT_EQ(std::vector<std::string>{}, temporaries(scene));
}

// A file someone else rewrote after the kill is theirs: the journal goes,
// the file is left as they made it.
TEST(KilledCleanUp, LeavesAFileChangedSinceAlone)
{
    Scene scene;
    put(scene / "a.png", kOldPicture);
    EXPECT_EQ(0, link((scene / "a.png").c_str(), (scene / "b.png").c_str()));
    ASSERT_TRUE(save_killed(scene / "a.png", kNewLonger, BPrivate::kRewriting, 2 * kPiece));
    const std::string theirs = bytes_of(3 * kPiece, 9);
    {
        std::ofstream rewrite(scene / "b.png", std::ios::binary | std::ios::trunc);
        rewrite << theirs;
    }
    save_beside(scene);
    EXPECT_TRUE(slurp(scene / "a.png") == theirs);
    EXPECT_EQ(std::vector<std::string>{}, temporaries(scene));
}

// A journal says what to write into which file: one its user did not make
// is never acted on, nor removed.
TEST(KilledCleanUp, TrustsOnlyItsOwnUsersJournals)
{
    if (!is_root())
        GTEST_SKIP() << "giving a journal to another user needs root";
    Scene scene;
    put(scene / "a.png", kOldPicture);
    EXPECT_EQ(0, link((scene / "a.png").c_str(), (scene / "b.png").c_str()));
    ASSERT_TRUE(save_killed(scene / "a.png", kNewLonger, BPrivate::kRewriting, 2 * kPiece));
    const std::string damaged = slurp(scene / "a.png");
    ASSERT_EQ(1u, temporaries(scene).size());
    const std::string journal = scene / temporaries(scene)[0];
    EXPECT_EQ(0, chown(journal.c_str(), kNobody, kNogroup));
    save_beside(scene);
    EXPECT_TRUE(slurp(scene / "a.png") == damaged);
    EXPECT_TRUE(fs::exists(journal));
}

// After a power cut the file holds what reached the disk, not a prefix of
// the rewrite: pieces written in any order, or the new length without the
// bytes before it. Each case starts from a save killed mid-rewrite and
// changes the file the way the disk may have kept it; the next save puts
// the old picture back, or leaves a file no rewrite of ours could have
// made as it is.
void overwrite(const std::string& path, size_t at, const std::string& bytes)
{
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(ssize_t(bytes.size()), pwrite(fd, bytes.data(), bytes.size(), off_t(at)));
    close(fd);
}

void cut(const std::string& path, size_t size)
{
    EXPECT_EQ(0, truncate(path.c_str(), off_t(size)));
}

struct PowerCut
{
    const char* label;
    const std::string* bytes;
    uint64 killedAfter; // bytes of the rewrite done when killed
    void (*disk)(const std::string& path);
    bool restored; // else left as the disk kept it
};

void PrintTo(const PowerCut& c, std::ostream* os)
{
    *os << c.label;
}

const PowerCut kPowerCuts[] = {
    // Pieces 0, 2 and 3 reached the disk, piece 1 did not.
    {"APieceMissing", &kNewLonger, 4 * kPiece,
     [](const std::string& path) { overwrite(path, kPiece, kOldPicture.substr(kPiece, kPiece)); },
     true},
    // Part of a piece: sectors are written one by one.
    {"APieceTorn", &kNewLonger, 3 * kPiece,
     [](const std::string& path) {
         overwrite(path, kPiece + 512, kOldPicture.substr(kPiece + 512, 1024));
     },
     true},
    // The new length reached the disk, its last bytes did not (zeros).
    {"GrownWithoutItsBytes", &kNewLonger, 6 * kPiece,
     [](const std::string& path) {
         overwrite(path, 5 * kPiece + 200, std::string(kPiece - 200, '\0'));
     },
     true},
    // The length only: the room past the old end reads as zeros.
    {"GrownBeforeAnyByte", &kNewLonger, kPiece,
     [](const std::string& path) {
         overwrite(path, 0, kOldPicture.substr(0, kPiece));
         cut(path, 7 * kPiece);
     },
     true},
    // Shorter: the cut reached the disk, a piece before it did not.
    {"CutBeforeItsBytes", &kNewShorter, kNewShorter.size(),
     [](const std::string& path) {
         overwrite(path, kPiece, kOldPicture.substr(kPiece, kPiece));
         cut(path, kNewShorter.size());
     },
     true},
    // Someone else's: a byte neither picture has there.
    {"AByteOfNeither", &kNewLonger, 3 * kPiece,
     [](const std::string& path) {
         const size_t at = 2 * kPiece + 9;
         char neither = 0;
         while (neither == kOldPicture[at] || neither == kNewLonger[at])
             neither++;
         overwrite(path, at, std::string(1, neither));
     },
     false},
    // Someone else's: longer than both pictures.
    {"LongerThanEither", &kNewLonger, 3 * kPiece,
     [](const std::string& path) { cut(path, 8 * kPiece); }, false},
    // Someone else's: shorter than both (emptied).
    {"Emptied", &kNewShorter, kPiece, [](const std::string& path) { cut(path, 0); }, false},
    // Shorter, but at neither length.
    {"CutElsewhere", &kNewShorter, kNewShorter.size(),
     [](const std::string& path) { cut(path, kNewShorter.size() + 1); }, false},
};

class AfterAPowerCut : public testing::TestWithParam<PowerCut>
{
};

TEST_P(AfterAPowerCut, TheNextSaveRestoresOnlyWhatARewriteLeft)
{
    const PowerCut& power = GetParam();
    Scene scene;
    const std::string a = scene / "a.png", b = scene / "b.png";
    put(a, kOldPicture);
    ASSERT_EQ(0, link(a.c_str(), b.c_str()));
    ASSERT_TRUE(save_killed(a, *power.bytes, BPrivate::kRewriting, power.killedAfter));
    power.disk(a);
    if (HasFatalFailure())
        return;
    const std::string kept = slurp(a);
    ASSERT_NE(kOldPicture, kept);
    ASSERT_NE(*power.bytes, kept);

    save_beside(scene);
    const std::string& expected = power.restored ? kOldPicture : kept;
    EXPECT_TRUE(slurp(a) == expected) << (power.restored ? "not restored" : "not left alone");
    EXPECT_TRUE(slurp(b) == expected);
    EXPECT_EQ(std::vector<std::string>{}, temporaries(scene));
}

INSTANTIATE_TEST_SUITE_P(Disks, AfterAPowerCut, testing::ValuesIn(kPowerCuts),
                         [](const auto& info) { return std::string(info.param.label); });

// Only our own stale temporaries go: not one a live save is writing (it
// is locked), nor another program's that looks alike (rsync's).
TEST(StaleTemporaries, OnlyOursAndOnlyDeadOnes)
{
    Scene scene;
    put(scene / ".x.png.a1b2C3", "rsync's, being written");
    put(scene / ".x.png.a1b2C3.pellara", "a dead save's");
    put(scene / "x.png", kOldPicture);
    int go[2], ready[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    if (child == 0) {
        // Stops once its temporary is written, until told to go on.
        static int sReady = ready[1], sGo = go[0];
        BPrivate::set_safe_write_step_hook([](safe_write_step at, uint64) {
            if (at != BPrivate::kTemporaryWritten)
                return;
            char c = 0;
            if (write(sReady, &c, 1) != 1 || read(sGo, &c, 1) != 1)
                _exit(3);
        });
        SafeFileWriter writer;
        _exit(writer.WriteFile((scene / "x.png").c_str(), kNewShorter.data(), kNewShorter.size()) ==
                      B_OK
                  ? 0
                  : 1);
    }
    // Whatever happens below, the child does not outlive the test.
    struct Reaper
    {
        pid_t child;
        ~Reaper()
        {
            if (child > 0) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
        }
    } reaper{child};
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    // The child's own save cleaned the folder first: the dead one is gone.
    EXPECT_FALSE(fs::exists(scene / ".x.png.a1b2C3.pellara"));
    std::vector<std::string> live = temporaries(scene);
    ASSERT_EQ(1u, live.size());
    EXPECT_EQ(kNewShorter, slurp(scene / live[0]));

    save_beside(scene);
    EXPECT_TRUE(fs::exists(scene / ".x.png.a1b2C3"));
    EXPECT_EQ(live, temporaries(scene)) << "the live save's temporary went";

    ASSERT_EQ(1, write(go[1], "g", 1));
    int status = 0;
    waitpid(child, &status, 0);
    reaper.child = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(kNewShorter, slurp(scene / "x.png"));
    EXPECT_EQ(std::vector<std::string>{}, temporaries(scene));
    for (int fd : {go[0], go[1], ready[0], ready[1]})
        close(fd);
}

// Our temporaries are regular files: anything else of that name (a link,
// a FIFO, a folder) is someone else's, and stays, whatever it leads to.
TEST(StaleTemporaries, OnlyRegularFiles)
{
    Scene scene;
    put(scene / "kept.png", kOldPicture);
    const char* const names[] = {".a.png.a1b2C3.pellara", ".b.png.a1b2C3.pellara",
                                 ".c.png.a1b2C3.pellara", ".d.png.a1b2C3.pellara"};
    ASSERT_EQ(0, symlink("kept.png", (scene / names[0]).c_str()));
    ASSERT_EQ(0, symlink("nowhere", (scene / names[1]).c_str()));
    ASSERT_EQ(0, mkfifo((scene / names[2]).c_str(), 0644));
    ASSERT_EQ(0, mkdir((scene / names[3]).c_str(), 0755));
    save_beside(scene);
    for (const char* name : names)
        EXPECT_TRUE(fs::exists(fs::symlink_status(scene / name))) << name;
    EXPECT_EQ(kOldPicture, slurp(scene / "kept.png"));
}

} // namespace
