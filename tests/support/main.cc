#include <gtest/gtest.h>
#include <csignal>

int main(int argc, char **argv) {
    // A peer that vanishes mid-write must fail the write, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
