#include "tests/support/jack_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

// The fixture must bring a server up, make it the default, and leave nothing
// running after stop.
TEST(PrivateJack, StartsAnswersAndStops) {
    PrivateJack j;
    ASSERT_TRUE(private_jack_start(&j, "zp-fixture")) << "see " << j.log;
    pid_t pid = j.pid;
    ASSERT_GT(pid, 0);
    ASSERT_NE(getenv("JACK_DEFAULT_SERVER"), nullptr);
    EXPECT_STREQ(getenv("JACK_DEFAULT_SERVER"), j.name);
    private_jack_stop(&j);
    EXPECT_EQ(j.pid, 0);
    EXPECT_EQ(kill(pid, 0), -1);  // reaped: no such process any more
    EXPECT_EQ(getenv("JACK_DEFAULT_SERVER"), nullptr);
    private_jack_stop(&j);  // second stop is harmless
}
