// The real binary with VRRP enabled: the VRRP state file decides at start
// whether the server is master (the AP port opens) or backup (it stays shut).
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::WendaraProcess;
using namespace std::chrono_literals;

TEST(ProgramVrrp, StateFileDecidesWhetherTheApPortOpens)
{
    struct Case {
        const char* name;
        bool write_state;
        std::string state;
        bool master;
        std::string record;  // without the state file's path
    };
    const Case cases[] = {
        {"BACKUP", true, "BACKUP\n", false,
         "WARNING server/lib/RRM.cpp update_vrrp_role: "
         "try to switch VRRP role to the same: backup -> backup"},
        {"MASTER", true, "MASTER\n", true,
         "INFO server/lib/RRM.cpp update_vrrp_role: VRRP role: backup -> master"},
        {"lower case", true, "backup\n", true,
         "INFO server/lib/RRM.cpp update_vrrp_role: VRRP role: backup -> master"},
        {"carriage return", true, "BACKUP\r\n", true,
         "INFO server/lib/RRM.cpp update_vrrp_role: VRRP role: backup -> master"},
        {"no state file", false, "", true,
         "ERROR server/VrrpWorker.cpp set_vrrp_role_on_start: Error opening VRRP state file "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WendaraProcess p;
        p.write_logger_config();
        p.write_config("\"vrrp_enabled\":1");
        if (c.write_state)
            p.work().write("keep.mode", c.state);
        std::string record = c.record;
        if (!c.write_state)
            record += p.state_file();

        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_log(record + "\n")) << p.all_logs_text() << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.api_port));
        if (c.master) {
            EXPECT_TRUE(p.wait_for_port(p.listen_port));
        } else {
            // The role is settled once the record is there; give a wrongly
            // started AP transport time to show.
            std::this_thread::sleep_for(500ms);
            EXPECT_FALSE(testsupport::port_open(p.listen_port));
        }
        EXPECT_TRUE(testsupport::port_open(p.cli_port));
        p.interrupt();
        EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
    }
}

TEST(ProgramVrrp, WithVrrpDisabledTheStateFileIsNotReadAndTheServerIsMaster)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.work().write("keep.mode", "BACKUP\n");
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code);
    EXPECT_EQ(std::string::npos, p.all_logs_text().find("VRRP"));
}

}  // namespace
