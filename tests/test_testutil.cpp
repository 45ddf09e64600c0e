#include <gtest/gtest.h>

#include "testutil.h"

#include <unistd.h>

TEST(TestUtil, RunProcessCollectsStreamsAndStatus) {
    auto r = testutil::runProcess({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
}

TEST(TestUtil, TempDirIsRemoved) {
    std::string path;
    {
        testutil::TempDir dir;
        path = dir.path();
        dir.write("a", "x");
        EXPECT_EQ(testutil::readFile(dir.file("a")), "x");
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}
