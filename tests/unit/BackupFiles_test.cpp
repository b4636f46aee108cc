// The domain backup files: written whole through a temporary file that fits
// whatever the domain's name, synced before it is renamed over the file and
// the folder synced after; the temporary files of killed writers removed,
// and nothing else.
#include "BackupFiles.h"

#include "FileOpsRecorder.h"
#include "LogFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using testsupport::FileOp;
using testsupport::FileOpsRecorder;
using testsupport::LogFolder;

std::string base_name(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The operations on files of the folder, as "op name[ -> name]" with base
// names, the folder itself as ".".
std::vector<std::string> steps(const std::vector<FileOp>& ops, const std::string& folder)
{
    char real[PATH_MAX];
    const std::string resolved = ::realpath(folder.c_str(), real) ? real : folder;
    std::vector<std::string> out;
    for (const FileOp& op : ops) {
        const std::string name =
            op.path == folder || op.path == resolved ? "." : base_name(op.path);
        out.push_back(op.what + " " + name + (op.to.empty() ? "" : " -> " + base_name(op.to)));
    }
    return out;
}

TEST(BackupFiles, EveryNameWhoseFileFitsIsWrittenSyncedBeforeItsRename)
{
    // NAME_MAX is 255: "<domain>.json" fits up to 250 bytes of name. The
    // temporary name of earlier versions, ".<domain>.json.XXXXXX", did not
    // fit from 242 bytes on.
    for (const size_t length : {3u, 241u, 242u, 250u}) {
        SCOPED_TRACE(length);
        LogFolder dir;
        const std::string domain(length, 'd');
        FileOpsRecorder recorder;
        ASSERT_EQ(0, backup_files::write(dir.path(), domain, "{\"name\":\"x\"}"));
        EXPECT_EQ(std::vector<std::string>{domain + ".json"}, dir.names());
        EXPECT_EQ("{\"name\":\"x\"}", LogFolder::read(backup_files::file_name(dir.path(), domain)));
        struct stat st {};
        ASSERT_EQ(0, ::stat(backup_files::file_name(dir.path(), domain).c_str(), &st));
        EXPECT_EQ(0640u, st.st_mode & 07777);

        // The bytes are on disk before the file takes the name, and the
        // rename is on disk before the write counts as done.
        const std::vector<std::string> done = steps(recorder.ops(), dir.path());
        ASSERT_EQ(3u, done.size()) << ::testing::PrintToString(done);
        const std::string temporary = done[0].substr(6);
        EXPECT_EQ(".backup." + std::to_string(::getpid()) + ".", temporary.substr(0, temporary.size() - 6));
        EXPECT_EQ("rename " + temporary + " -> " + domain + ".json", done[1]);
        EXPECT_EQ("fsync .", done[2]);
    }
}

TEST(BackupFiles, AWriteThatFailsLeavesTheOldFileAndNoTemporary)
{
    LogFolder dir;
    dir.write("lab.json", "old");
    // A folder stands where the file goes: the rename fails.
    ::mkdir((dir / "lab2.json").c_str(), 0755);
    dir.write("lab2.json/keep", "");
    EXPECT_EQ(EISDIR, backup_files::write(dir.path(), "lab2", "new"));
    EXPECT_EQ((std::vector<std::string>{"lab.json", "lab2.json"}), dir.names());
    // The folder is a file: nothing can be made in it.
    EXPECT_EQ(ENOTDIR, backup_files::write(dir / "lab.json", "lab", "new"));
    EXPECT_EQ("old", LogFolder::read(dir / "lab.json"));
}

TEST(BackupFiles, OnlyTheTemporariesOfWritersThatAreGoneAreRemoved)
{
    // A process that is gone: a child that has exited and been reaped.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string gone = std::to_string(child);
    const std::string self = std::to_string(::getpid());

    struct Case {
        std::string name;
        bool removed;
    };
    const Case cases[] = {
        {".backup." + gone + ".Ab12Cd", true},   // its writer is gone
        {".backup." + self + ".Ab12Cd", true},   // a start-up's own pid: a leftover
        {".backup.1.Ab12Cd", false},              // pid 1 runs: a live writer's
        {".lab.json.x9Y8z7", true},              // earlier versions' name
        {".we.ird.json.ABCDEF", true},           //
        {"lab.json", false},                     // backups, hidden or not
        {".lab.json", false},                    //
        {".lab.json.abcdef.json", false},        //
        {".backup.12.Ab12C", false},             // not six characters
        {".backup.12.Ab12Cde", false},           //
        {".backup.x12.Ab12Cd", false},           // not a pid
        {".lab.txt.Ab12Cd", false},              // not ".json." before them
        {"lab.json.Ab12Cd", false},              // not hidden
        {".keep", false},
    };
    LogFolder dir;
    std::vector<std::string> kept;
    for (const Case& c : cases) {
        dir.write(c.name, "x");
        if (!c.removed)
            kept.push_back(c.name);
    }
    backup_files::remove_stale_temporaries(dir.path());
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> left = dir.names();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(kept, left);

    // A folder that is missing, or not named, is left alone.
    backup_files::remove_stale_temporaries(dir / "missing");
    backup_files::remove_stale_temporaries("");
}

}  // namespace
