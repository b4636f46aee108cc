// The timing record of the domain worker's commands and timer steps.

#include "CommandMetric.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

timeval at(int64_t sec, int64_t usec)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(sec);
    tv.tv_usec = static_cast<suseconds_t>(usec);
    return tv;
}

TEST(CommandMetric, RunsAddUpAndStartOverWhenTheTotalWouldShrink)
{
    struct Run {
        timeval start;
        timeval end;
        int32_t count;  // after the run
        int64_t total;
        int64_t average;
    };
    // 1.999900 -> 2.000100 is 200 us across a second boundary; a run whose
    // end lies before its start (the clock stepped back) clears the record.
    const std::vector<Run> runs = {
        {at(1, 999900), at(2, 100), 1, 200, 200},
        {at(5, 0), at(5, 1000), 2, 1200, 600},
        {at(5, 0), at(5, 1), 3, 1201, 400},  // 1201 / 3 = 400 (integer)
        {at(9, 0), at(8, 999999), 0, 0, 0},
        {at(10, 0), at(10, 0), 1, 0, 0},
        {at(10, 0), at(13, 500000), 2, 3500000, 1750000},
    };
    rrm::CommandMetric metric;
    EXPECT_EQ(metric.average(), 0);
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(i);
        metric.start = runs[i].start;
        metric.end = runs[i].end;
        metric.add_run();
        EXPECT_EQ(metric.count, runs[i].count);
        EXPECT_EQ(metric.total_us, runs[i].total);
        EXPECT_EQ(metric.average(), runs[i].average);
    }
}

TEST(CommandMetric, TimedRunThatThrowsCountsForNothing)
{
    rrm::CommandMetric metric;
    metric.time([] {});
    EXPECT_EQ(metric.count, 1);
    EXPECT_GE(metric.total_us, 0);
    const int64_t total = metric.total_us;
    EXPECT_THROW(metric.time([] { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_EQ(metric.count, 1);
    EXPECT_EQ(metric.total_us, total);
}

TEST(CommandMetric, OverflowingTotalOrCountStartsOver)
{
    rrm::CommandMetric metric;
    metric.total_us = INT64_MAX - 10;
    metric.count = 5;
    metric.start = at(0, 0);
    metric.end = at(0, 11);
    metric.add_run();
    EXPECT_EQ(metric.count, 0);
    EXPECT_EQ(metric.total_us, 0);

    metric.count = INT32_MAX;
    metric.total_us = 100;
    metric.end = at(0, 1);
    metric.add_run();
    EXPECT_EQ(metric.count, 0);
    EXPECT_EQ(metric.total_us, 0);
}

}  // namespace
