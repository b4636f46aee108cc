// The VRRP worker: the role at start from the state file, the debounced
// backup schedule, and the reading of the backup folder for a restore.
#include "VrrpWorker.h"

#include "Config.h"
#include "ElppCapture.h"
#include "RRM.h"
#include "TestConfig.h"

#include "FrontEndFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using testsupport::ElppCapture;
using testsupport::LogFolder;

class VrrpWorkerTest : public testsupport::FrontEndFixture {};

TEST_F(VrrpWorkerTest, RoleAtStartComesFromTheFirstLineOfTheStateFile)
{
    struct Case {
        const char* name;
        bool vrrp_enabled;
        bool write_state;
        std::string state;
        int role;
        bool open_error;
    };
    const Case cases[] = {
        {"BACKUP", true, true, "BACKUP\nMASTER\n", 0, false},
        {"BACKUP without newline", true, true, "BACKUP", 0, false},
        {"MASTER", true, true, "MASTER\n", 1, false},
        {"empty file", true, true, "", 1, false},
        {"trailing blank", true, true, "BACKUP \n", 1, false},
        {"no state file", true, false, "", 1, true},
        {"VRRP disabled", false, true, "BACKUP\n", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(std::string("\"vrrp_enabled\":") + (c.vrrp_enabled ? "1" : "0"));
        ::unlink(files.state_file().c_str());
        if (c.write_state)
            testsupport::put_file(files.state_file(), c.state);
        ElppCapture capture;
        registry->start();
        vrrp->set_vrrp_role_on_start();
        EXPECT_EQ(c.role, registry->get_vrrp_role());
        EXPECT_EQ(c.open_error ? 1u : 0u,
                  capture.count("Error opening VRRP state file " + files.state_file()));
        vrrp.reset();
        registry.reset();
    }
}

TEST_F(VrrpWorkerTest, BackupIsScheduledOnlyWithVrrpEnabledAndNotBeforeItsTimeout)
{
    build();
    vrrp->schedule_domain_backup("lab");
    EXPECT_TRUE(vrrp->pending().empty());

    build("\"vrrp_enabled\":1,\"vrrp_timeout\":60");
    vrrp->schedule_domain_backup("b");
    vrrp->schedule_domain_backup("a");
    vrrp->schedule_domain_backup("b");
    EXPECT_EQ((std::set<std::string>{"a", "b"}), vrrp->pending());
    vrrp->poll_timers();
    EXPECT_EQ((std::set<std::string>{"a", "b"}), vrrp->pending());
    EXPECT_FALSE(LogFolder::exists(files.backup_path()));
}

TEST_F(VrrpWorkerTest, UnusableBackupFolderKeepsDomainsPending)
{
    build("\"vrrp_enabled\":1,\"vrrp_backup_path\":\"/nonexistent-parent/backup\"");
    vrrp->schedule_domain_backup("lab");
    ElppCapture capture;
    vrrp->make_domains_backup();
    EXPECT_EQ(1u, capture.count("backup_path /nonexistent-parent/backup invalid"));
    EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
    EXPECT_TRUE(vrrp->restore_domains_from_backup().is_null());
    EXPECT_EQ(2u, capture.count("backup_path /nonexistent-parent/backup invalid"));
}

TEST_F(VrrpWorkerTest, RestoreReadsEveryParsableFileOfTheBackupFolder)
{
    build("\"vrrp_enabled\":1");
    // The folder is created when missing.
    EXPECT_EQ(0u, vrrp->restore_domains_from_backup().as_array().size());
    ASSERT_TRUE(LogFolder::exists(files.backup_path()));

    const std::string dir = files.backup_path();
    testsupport::put_file(dir + "/lab.json", "{\"name\":\"lab\",\"rrm-status\":2,\"aps\":[]}");
    testsupport::put_file(dir + "/other.txt", "[1,2]");
    testsupport::put_file(dir + "/empty.json", "");
    testsupport::put_file(dir + "/broken.json", "{\"name\":");
    ::mkdir((dir + "/folder").c_str(), 0755);

    ElppCapture capture;
    const yajson::JsonValue restored = vrrp->restore_domains_from_backup();
    ASSERT_TRUE(restored.is_array());
    std::vector<std::string> texts;
    yajson::SerializeOptions compact;
    for (const auto& element : restored.as_array())
        texts.push_back(yajson::serialize(compact, element));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ((std::vector<std::string>{"[1,2]", "{\"name\":\"lab\",\"rrm-status\":2,\"aps\":[]}"}),
              texts);
    EXPECT_EQ(1u, capture.count("Reading backup file " + dir + "/folder failed: Is a directory"));
}

}  // namespace
