#pragma once
// A configuration file in a temporary folder with the registry and VRRP
// worker built on it: what the management front ends are created with.

#include "Config.h"
#include "ElppCapture.h"
#include "RRM.h"
#include "TestConfig.h"
#include "VrrpWorker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace testsupport {

class FrontEndFixture : public ::testing::Test {
protected:
    void SetUp() override { reset_easylogging(); }

    void build(const std::string& global = "")
    {
        files.write_config(global);
        config = std::make_unique<rrm::GlobalConfig>(files.config_path());
        registry = std::make_unique<rrm::RRM>(config.get());
        vrrp = std::make_unique<VrrpWorker>(registry.get(), config.get());
    }

    TestConfig files;
    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<rrm::RRM> registry;
    std::unique_ptr<VrrpWorker> vrrp;
};

}  // namespace testsupport
