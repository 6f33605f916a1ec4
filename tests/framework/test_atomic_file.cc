// Replacing files: links followed, mode and owner kept, writing in place where a replacement would
// lose something, and temporary files of killed saves removed by the next save.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "velko_test.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

int save(const std::string& path, const std::string& content, bool in_place_fallback, std::string* error) {
    velko::AtomicWriteOptions options;
    options.in_place_fallback = in_place_fallback;
    return velko::write_file_atomically(path, content, options, error);
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

// The id of a process that has ended.
pid_t dead_pid() {
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

TEST(AtomicFile, LinksAreFollowedAndTheModeKept) {
    TempDir dir;
    std::string error;
    write_file(dir.file("real"), "old");
    chmod(dir.file("real").c_str(), 0640);
    ASSERT_EQ(symlink("real", dir.file("inner").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("inner").c_str(), dir.file("outer").c_str()), 0);
    ASSERT_EQ(save(dir.file("outer"), "new", false, &error), 0) << error;
    EXPECT_EQ(read_file(dir.file("real")), "new");
    EXPECT_EQ(stat_of(dir.file("real")).st_mode & 07777, 0640u);
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("outer").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A link to a file not made yet makes it.
    ASSERT_EQ(symlink("later", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(save(dir.file("dangling"), "made", false, &error), 0) << error;
    EXPECT_EQ(read_file(dir.file("later")), "made");

    EXPECT_EQ(save(dir.path(), "x", true, &error), 1);
    EXPECT_EQ(error, "Cannot save " + dir.path() + ": it is a directory.");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"dangling", "inner", "later", "outer", "real"}));
}

TEST(AtomicFile, AFileWithFurtherHardLinksIsWrittenInPlaceWhenAllowed) {
    TempDir dir;
    std::string error;
    write_file(dir.file("a"), "old");
    ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
    ASSERT_EQ(save(dir.file("a"), "in place", true, &error), 0) << error;
    EXPECT_EQ(read_file(dir.file("b")), "in place");
    // Without the fallback the file is replaced, and the other name keeps the old content.
    ASSERT_EQ(save(dir.file("a"), "replaced", false, &error), 0) << error;
    EXPECT_EQ(read_file(dir.file("a")), "replaced");
    EXPECT_EQ(read_file(dir.file("b")), "in place");
}

TEST(AtomicFile, TheOwnerIsKept) {
    if (geteuid() != 0)
        GTEST_SKIP() << "Only root can give the file to another owner to begin with.";
    TempDir dir;
    std::string error;
    write_file(dir.file("f"), "old");
    ASSERT_EQ(chown(dir.file("f").c_str(), 4321, 4322), 0);
    ASSERT_EQ(save(dir.file("f"), "new", true, &error), 0) << error;
    struct stat st = stat_of(dir.file("f"));
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST(AtomicFile, AFileInADirectoryThatIsNotWritableIsWrittenInPlace) {
    if (geteuid() == 0)
        GTEST_SKIP() << "Root writes into any directory, so the directory cannot refuse the temporary file.";
    TempDir dir;
    std::string sub = dir.file("ro");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    std::string f = sub + "/f";
    write_file(f, "old");
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    std::string error;
    EXPECT_EQ(save(f, "atomic only", false, &error), 1);
    EXPECT_EQ(error.rfind("Cannot save " + f + ": cannot create the temporary file", 0), 0u) << error;
    EXPECT_EQ(read_file(f), "old");
    EXPECT_EQ(save(f, "in place", true, &error), 0) << error;
    EXPECT_EQ(read_file(f), "in place");
    EXPECT_EQ(save(sub + "/new", "x", true, &error), 1);  // nothing to write in place
    chmod(sub.c_str(), 0755);
}

TEST(AtomicFile, TemporaryFilesOfEndedSavesAreRemoved) {
    TempDir dir;
    std::string dead = std::to_string(dead_pid());
    std::string mine = std::to_string(getpid());
    const std::vector<std::string> kept = {
        ".f.tmp." + mine + ".0badf00d",  // a save of this process, still running
        ".f.tmp." + dead,                // not a temporary file's name
        ".f.tmp." + dead + ".",          // not a temporary file's name
        ".f.tmp.x" + dead + ".1",        // not a temporary file's name
        ".g.tmp." + dead + ".1",         // another file's
    };
    for (const std::string& name : kept)
        write_file(dir.file(name), "x");
    write_file(dir.file(".f.tmp." + dead + ".1234abcd"), "half");
    std::string error;
    ASSERT_EQ(save(dir.file("f"), "new", false, &error), 0) << error;
    std::vector<std::string> expected = kept;
    expected.push_back("f");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.entries(), expected);
}

}  // namespace
