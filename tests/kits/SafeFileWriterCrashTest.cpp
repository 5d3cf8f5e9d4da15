// A save killed outright (SIGKILL) at each of its steps, in a child
// process: every name of the file must hold the old picture or the new one,
// once the next save into the folder has cleaned up after it.
#include <SaveDestinations.h>

#include <SafeFileWriter.h>
#include <SafeFileWriterPrivate.h>

#include <gtest/gtest.h>

#include <cstring>

#include <sys/file.h>
#include <sys/wait.h>

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
    kPlainFile, // replaced by a rename
    kNoFile,    // created
    kHardLinks, // rewritten in place: three names, one in a subfolder
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
    {"LinksShorterBeforeTheCut", kHardLinks, &kNewShorter, BPrivate::kRewriting,
     kNewShorter.size(), false},
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
            link(target.c_str(), (scene / "second.png").c_str());
            link(target.c_str(), (scene / "sub/third.png").c_str());
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
    link((scene / "a.png").c_str(), (scene / "b.png").c_str());
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
    link((scene / "a.png").c_str(), (scene / "b.png").c_str());
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
    link((scene / "a.png").c_str(), (scene / "b.png").c_str());
    ASSERT_TRUE(save_killed(scene / "a.png", kNewLonger, BPrivate::kRewriting, 2 * kPiece));
    const std::string damaged = slurp(scene / "a.png");
    ASSERT_EQ(1u, temporaries(scene).size());
    const std::string journal = scene / temporaries(scene)[0];
    chown(journal.c_str(), kNobody, kNogroup);
    save_beside(scene);
    EXPECT_TRUE(slurp(scene / "a.png") == damaged);
    EXPECT_TRUE(fs::exists(journal));
}

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

} // namespace
