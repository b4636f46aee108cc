// What one pass of the ping worker does with a session, by its seconds of
// silence.

#include "PingWorker.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Action = rrm::PingWorker::Action;

TEST(PingWorker, ActionBySecondsOfSilence)
{
    const std::vector<std::pair<int64_t, Action>> table = {
        {-5, Action::None},  {0, Action::None},   {29, Action::None}, {30, Action::Ping},
        {31, Action::None},  {39, Action::None},  {40, Action::Ping}, {50, Action::Ping},
        {60, Action::Ping},  {70, Action::Ping},  {80, Action::Ping}, {89, Action::None},
        {90, Action::Ping},  {91, Action::Drop},  {100, Action::Drop}, {3600, Action::Drop},
    };
    for (const auto& [idle, expected] : table)
        EXPECT_EQ(rrm::PingWorker::action_for(idle), expected) << "idle " << idle;
}

}  // namespace
