// The web API loop's pass counter: the daily clean-up check runs on every
// 602nd pass, not every 600th.
#include "ApiWeb.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ApiWebPassCounter, CleanupCheckRunsOnEvery602ndPass)
{
    int counter = 0;
    std::vector<int> due;
    for (int pass = 1; pass <= 3 * 602 + 10; ++pass)
        if (ApiWeb::count_pass(counter))
            due.push_back(pass);
    EXPECT_EQ((std::vector<int>{602, 1204, 1806}), due);
}
