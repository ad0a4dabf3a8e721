// The safe output rules of zuvo-mpa-encode, in-process: which paths are
// refused and why, that a new or replaced file appears only at commit (with
// the old file's permission bits), that a discarded run leaves nothing, and
// which paths name descriptors the process already holds.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common.h"
#include "output_file.h"
#include "support/audio_tools.h"

using namespace zuvo_tool;
using zuvo_test::TempDir;

namespace {

const std::vector<std::uint8_t> kOld = {'o', 'l', 'd'};
const unsigned char kNew[] = {1, 2, 3, 4};

TEST(ToolOutputFile, PathsNamingHeldDescriptors) {
    const struct {
        const char* path;
        int fd;
    } rows[] = {
        {"-", 1},           {"/dev/stdout", 1},       {"/dev/stderr", 2},  {"/dev/fd/7", 7},
        {"/proc/self/fd/12", 12}, {"/dev/fd/", -1},   {"/dev/fd/x", -1},   {"/dev/fd/1234567", -1},
        {"out.mp2", -1},    {"/dev/stdin", -1},       {"/dev/null", -1},
    };
    for (const auto& row : rows) EXPECT_EQ(inherited_descriptor(row.path), row.fd) << row.path;
}

TEST(ToolOutputFile, RefusedOutputs) {
    TempDir dir;
    const std::string input = dir.file("in.wav"), existing = dir.file("old.mp2");
    ASSERT_TRUE(zuvo_test::write_file(input, kOld));
    ASSERT_TRUE(zuvo_test::write_file(existing, kOld));
    ASSERT_EQ(symlink(input.c_str(), dir.file("link.wav").c_str()), 0);
    const FileId input_id = file_id_of_path(input);
    const struct {
        std::string path;
        bool force;
        const char* message;
    } rows[] = {
        {input, true, "it is the input file; refusing to write over it (also with --force)"},
        {dir.file("link.wav"), true, "it is the input file; refusing to write over it (also with --force)"},
        {existing, false, "the file exists; use -f or --force to replace it"},
        {dir.path(), true, "it is a directory"},
        {input + "/out.mp2", false, "Not a directory"},
        {"/dev/fd/999", false, "descriptor 999 is not open"},
    };
    for (const auto& row : rows) {
        Output output;
        std::string message;
        EXPECT_EQ(output.prepare(row.path, row.force, input_id, message), kOutputError) << row.path;
        EXPECT_EQ(message, row.message) << row.path;
    }
    EXPECT_EQ(zuvo_test::read_file(existing), kOld);
}

TEST(ToolOutputFile, ReplacedFileAppearsOnlyAtCommitWithItsPermissions) {
    TempDir dir;
    const std::string path = dir.file("old.mp2");
    ASSERT_TRUE(zuvo_test::write_file(path, kOld));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    Output output;
    std::string message;
    ASSERT_EQ(output.prepare(path, true, FileId{}, message), kOk) << message;
    EXPECT_EQ(output.name(), "'" + path + "'");
    ASSERT_TRUE(output.write(kNew, sizeof kNew));
    EXPECT_EQ(zuvo_test::read_file(path), kOld); // the stream goes to a temporary file beside it
    EXPECT_EQ(dir.entries().size(), 2u);
    ASSERT_TRUE(output.commit()) << output.error();
    EXPECT_EQ(zuvo_test::read_file(path), std::vector<std::uint8_t>(kNew, kNew + sizeof kNew));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.mp2"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ToolOutputFile, DiscardLeavesNothingBehind) {
    TempDir dir;
    for (const bool existing : {false, true}) {
        const std::string path = dir.file("out.mp2");
        if (existing) {
            ASSERT_TRUE(zuvo_test::write_file(path, kOld));
        }
        {
            Output output;
            std::string message;
            ASSERT_EQ(output.prepare(path, true, FileId{}, message), kOk) << message;
            ASSERT_TRUE(output.write(kNew, sizeof kNew));
            output.discard();
        }
        EXPECT_EQ(dir.entries(), existing ? std::vector<std::string>{"out.mp2"} : std::vector<std::string>{});
        EXPECT_EQ(zuvo_test::read_file(path), existing ? kOld : std::vector<std::uint8_t>{});
    }
    // Nothing written: nothing created, and commit has nothing to do.
    Output output;
    std::string message;
    ASSERT_EQ(output.prepare(dir.file("never.mp2"), false, FileId{}, message), kOk);
    EXPECT_TRUE(output.commit());
    EXPECT_FALSE(zuvo_test::file_exists(dir.file("never.mp2")));
    // A folder that does not exist is found when the first bytes come.
    Output nowhere;
    ASSERT_EQ(nowhere.prepare(dir.file("no/such/out.mp2"), false, FileId{}, message), kOk);
    EXPECT_FALSE(nowhere.write(kNew, sizeof kNew));
    EXPECT_EQ(nowhere.error(), "cannot create a file in '" + dir.file("no/such") + "': No such file or directory");
}

TEST(ToolOutputFile, DevicesAreWrittenInPlace) {
    Output null_device;
    std::string message;
    ASSERT_EQ(null_device.prepare("/dev/null", false, FileId{}, message), kOk) << message;
    EXPECT_TRUE(null_device.write(kNew, sizeof kNew));
    EXPECT_TRUE(null_device.commit());

    Output full;
    ASSERT_EQ(full.prepare("/dev/full", false, FileId{}, message), kOk) << message;
    EXPECT_FALSE(full.write(kNew, sizeof kNew));
    EXPECT_EQ(full.error().rfind("disk full (", 0), 0u) << full.error();
}

} // namespace
