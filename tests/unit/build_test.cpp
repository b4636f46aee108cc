#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// The program links and runs; replaced by real tests as the server grows.
TEST(Build, ProgramRuns)
{
    std::string cmd = std::string(WENDARA_BINARY) + " /dev/null > /dev/null";
    EXPECT_EQ(0, std::system(cmd.c_str()));
}
