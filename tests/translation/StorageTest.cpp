#include "TestFiles.h"

#include <DataIO.h>
#include <Directory.h>
#include <Entry.h>
#include <File.h>
#include <Path.h>

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include <sys/stat.h>

namespace {

struct OpenCase
{
    const char* label;
    bool exists;
    uint32 mode;
    status_t status;
    const char* contentAfter; // null: the file is not there afterwards
};

void PrintTo(const OpenCase& c, std::ostream* os)
{
    *os << c.label;
}

class FileOpen : public testing::TestWithParam<OpenCase>
{
};

TEST_P(FileOpen, OpensAsTheModeSays)
{
    const OpenCase& c = GetParam();
    ScratchFolder folder;
    std::string path = folder / "f";
    if (c.exists)
        write_all(path, {'o', 'l', 'd'});
    BFile file(path.c_str(), c.mode);
    EXPECT_EQ(c.status, file.InitCheck());
    if (file.InitCheck() == B_OK && file.IsWritable()) {
        EXPECT_EQ(3, file.Write("new", 3));
    }
    file.Unset();
    if (c.contentAfter == nullptr) {
        EXPECT_FALSE(std::filesystem::exists(path));
    } else {
        std::vector<uint8> bytes = read_all(path);
        EXPECT_EQ(std::string(c.contentAfter), std::string(bytes.begin(), bytes.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FileOpen,
    testing::Values(
        OpenCase{"ReadMissing", false, B_READ_ONLY, B_ENTRY_NOT_FOUND, nullptr},
        OpenCase{"WriteMissingNoCreate", false, B_WRITE_ONLY, B_ENTRY_NOT_FOUND, nullptr},
        OpenCase{"CreateNew", false, B_WRITE_ONLY | B_CREATE_FILE, B_OK, "new"},
        OpenCase{"OverwriteInPlace", true, B_WRITE_ONLY, B_OK, "new"},
        OpenCase{"Erase", true, B_WRITE_ONLY | B_ERASE_FILE, B_OK, "new"},
        OpenCase{"AtEnd", true, B_WRITE_ONLY | B_OPEN_AT_END, B_OK, "oldnew"},
        OpenCase{"FailIfExists", true, B_WRITE_ONLY | B_CREATE_FILE | B_FAIL_IF_EXISTS,
                 B_FILE_EXISTS, "old"},
        OpenCase{"FailIfExistsNew", false, B_WRITE_ONLY | B_FAIL_IF_EXISTS, B_OK, "new"},
        OpenCase{"ReadOnlyKeeps", true, B_READ_ONLY, B_OK, "old"},
        OpenCase{"UnknownBits", true, 0x8000, B_BAD_VALUE, "old"},
        OpenCase{"BadAccess", true, 3, B_BAD_VALUE, "old"}),
    [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.label); });

TEST(File, RefusesAFolderAndAnEmptyPath)
{
    ScratchFolder folder;
    EXPECT_EQ(B_IS_A_DIRECTORY, BFile(folder.Path().c_str(), B_READ_ONLY).InitCheck());
    EXPECT_EQ(B_IS_A_DIRECTORY, BFile(folder.Path().c_str(), B_WRITE_ONLY).InitCheck());
    EXPECT_EQ(B_BAD_VALUE, BFile(static_cast<const char*>(nullptr), B_READ_ONLY).InitCheck());
    EXPECT_EQ(B_BAD_VALUE, BFile("", B_READ_ONLY).InitCheck());
    std::string missingFolder = folder / "none/f";
    EXPECT_EQ(B_ENTRY_NOT_FOUND,
              BFile(missingFolder.c_str(), B_WRITE_ONLY | B_CREATE_FILE).InitCheck());
}

TEST(File, AFullDeviceFailsTheWrite)
{
    BFile full("/dev/full", B_WRITE_ONLY);
    ASSERT_EQ(B_OK, full.InitCheck());
    char block[8192] = {};
    EXPECT_EQ(B_DEVICE_FULL, full.Write(block, sizeof(block)));
    EXPECT_EQ(B_DEVICE_FULL, full.WriteAt(0, block, 1));
    EXPECT_EQ(B_DEVICE_FULL, full.WriteExactly(block, sizeof(block)));
}

TEST(File, AccessFollowsTheMode)
{
    ScratchFolder folder;
    std::string path = folder / "f";
    write_all(path, {'a', 'b', 'c', 'd'});
    char buffer[4];
    BFile reader(path.c_str(), B_READ_ONLY);
    EXPECT_EQ(B_NOT_ALLOWED, reader.Write("x", 1));
    EXPECT_EQ(B_NOT_ALLOWED, reader.SetSize(0));
    BFile writer(path.c_str(), B_WRITE_ONLY);
    EXPECT_EQ(B_NOT_ALLOWED, writer.Read(buffer, 1));
    BFile unset;
    EXPECT_EQ(B_NO_INIT, unset.Write("x", 1));
    EXPECT_EQ(B_NO_INIT, unset.Sync());
}

TEST(File, RandomAccessAndSize)
{
    ScratchFolder folder;
    std::string path = folder / "f";
    BFile file(path.c_str(), B_READ_WRITE | B_CREATE_FILE);
    ASSERT_EQ(B_OK, file.InitCheck());
    EXPECT_EQ(5, file.Write("hello", 5));
    EXPECT_EQ(5, file.Position());
    EXPECT_EQ(2, file.WriteAt(1, "EL", 2));
    EXPECT_EQ(5, file.Position()); // WriteAt leaves the position alone
    char buffer[8] = {};
    EXPECT_EQ(5, file.ReadAt(0, buffer, sizeof(buffer)));
    EXPECT_STREQ("hELlo", buffer);
    EXPECT_EQ(B_OK, file.SetSize(2));
    off_t size = -1;
    EXPECT_EQ(B_OK, file.GetSize(&size));
    EXPECT_EQ(2, size);
    EXPECT_EQ(0, file.Seek(0, SEEK_SET));
    EXPECT_EQ(B_BAD_VALUE, file.Seek(0, 99));
    EXPECT_EQ(B_BAD_VALUE, file.ReadAt(-1, buffer, 1));
    EXPECT_EQ(B_OK, file.Sync());
}

TEST(File, NewFilesFollowTheUmask)
{
    ScratchFolder folder;
    mode_t old = umask(022);
    std::string path = folder / "f";
    BFile file(path.c_str(), B_WRITE_ONLY | B_CREATE_FILE);
    umask(old);
    mode_t permissions = 0;
    ASSERT_EQ(B_OK, file.GetPermissions(&permissions));
    EXPECT_EQ(mode_t(0644), permissions);
    EXPECT_EQ(B_OK, file.SetPermissions(0600));
    file.GetPermissions(&permissions);
    EXPECT_EQ(mode_t(0600), permissions);
}

TEST(Directory, OpensFilesByNameInside)
{
    ScratchFolder folder;
    entry_ref ref(folder.Path().c_str());
    BDirectory directory(&ref);
    ASSERT_EQ(B_OK, directory.InitCheck());
    EXPECT_FALSE(directory.Contains("pic.png"));
    BFile file(&directory, "pic.png", B_WRITE_ONLY | B_CREATE_FILE | B_ERASE_FILE);
    ASSERT_EQ(B_OK, file.InitCheck());
    EXPECT_EQ(3, file.Write("png", 3));
    EXPECT_TRUE(directory.Contains("pic.png"));
    EXPECT_TRUE(std::filesystem::exists(folder / "pic.png"));
    EXPECT_EQ(B_OK, directory.Sync());

    BEntry self;
    EXPECT_EQ(B_OK, directory.GetEntry(&self));
    EXPECT_TRUE(self.IsDirectory());

    std::string missing = folder / "none";
    EXPECT_EQ(B_ENTRY_NOT_FOUND, BDirectory(missing.c_str()).InitCheck());
    std::string notFolder = folder / "pic.png";
    EXPECT_EQ(B_NOT_A_DIRECTORY, BDirectory(notFolder.c_str()).InitCheck());
    BDirectory unset;
    EXPECT_EQ(B_BAD_VALUE, BFile(&unset, "x", B_WRITE_ONLY | B_CREATE_FILE).InitCheck());
}

TEST(Entry, ExistsRenameRemove)
{
    ScratchFolder folder;
    std::string a = folder / "a", b = folder / "b";
    write_all(a, {'1'});
    write_all(b, {'2'});
    BEntry entry(a.c_str());
    ASSERT_EQ(B_OK, entry.InitCheck());
    EXPECT_TRUE(entry.Exists());
    EXPECT_TRUE(entry.IsFile());
    char name[B_FILE_NAME_LENGTH];
    EXPECT_EQ(B_OK, entry.GetName(name));
    EXPECT_STREQ("a", name);

    EXPECT_EQ(B_FILE_EXISTS, entry.Rename("b"));
    EXPECT_EQ(std::vector<uint8>{'2'}, read_all(b));
    EXPECT_EQ(B_OK, entry.Rename("b", true));
    EXPECT_EQ(std::vector<uint8>{'1'}, read_all(b));
    BPath path;
    EXPECT_EQ(B_OK, entry.GetPath(&path));
    EXPECT_EQ(b, path.Path());
    EXPECT_EQ(B_OK, entry.Remove());
    EXPECT_FALSE(entry.Exists());
    EXPECT_EQ(B_ENTRY_NOT_FOUND, entry.Remove());

    std::string orphan = folder / "none/x";
    EXPECT_EQ(B_ENTRY_NOT_FOUND, BEntry(orphan.c_str()).InitCheck());
    std::string future = folder / "later";
    BEntry notYet(future.c_str());
    EXPECT_EQ(B_OK, notYet.InitCheck());
    EXPECT_FALSE(notYet.Exists());
}

TEST(MallocIO, GrowsAndReadsBack)
{
    BMallocIO io;
    EXPECT_EQ(3, io.WriteAt(4, "abc", 3));
    EXPECT_EQ(7u, io.BufferLength());
    char buffer[8] = {};
    EXPECT_EQ(7, io.ReadAt(0, buffer, sizeof(buffer)));
    EXPECT_EQ(0, std::memcmp(buffer, "\0\0\0\0abc", 7));
    EXPECT_EQ(0, io.ReadAt(7, buffer, 1));
    EXPECT_EQ(7, io.Seek(0, SEEK_END));
    EXPECT_EQ(2, io.Write("de", 2));
    EXPECT_EQ(9, io.Position());
    EXPECT_EQ(B_BAD_VALUE, io.Seek(-10, SEEK_CUR));
    EXPECT_EQ(B_BAD_VALUE, io.ReadAt(-1, buffer, 1));
}

// The most negative offset has no positive counterpart: it must be refused
// like any other seek before the start, from every base.
TEST(MallocIO, SeekToTheMostNegativeOffsetIsRefused)
{
    BMallocIO io;
    ASSERT_EQ(5, io.Write("abcde", 5));
    const off_t lowest = std::numeric_limits<off_t>::min();
    for (uint32 mode : {uint32(SEEK_SET), uint32(SEEK_CUR), uint32(SEEK_END)}) {
        EXPECT_EQ(B_BAD_VALUE, io.Seek(lowest, mode)) << mode;
        EXPECT_EQ(5, io.Position()) << mode;
    }
}

} // namespace
