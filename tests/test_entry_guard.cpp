// The catch-all of C-linkage entry points and thread tops.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qel/entry_guard.h"

namespace {

std::string captured(void (*body)()) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

TEST(EntryGuard, AnswersTheBodysValueAndLogsNothing) {
    std::string err = captured([] { EXPECT_EQ(qel::guarded("entry", -1, [] { return 7; }), 7); });
    EXPECT_EQ(err, "");
}

TEST(EntryGuard, LogsWhatItCaughtUnderTheEntryPointsName) {
    std::string err = captured(
        [] { EXPECT_EQ(qel::guarded("qelAddVar", -1, []() -> int { throw std::runtime_error("no room"); }), -1); });
    EXPECT_EQ(err, "qelAddVar: no room\n");
    err = captured([] { EXPECT_EQ(qel::guarded("var_ifTable", 5, []() -> int { throw 42; }), 5); });
    EXPECT_EQ(err, "var_ifTable: unknown exception\n");
}

TEST(EntryGuard, VoidBodies) {
    static int ran = 0;
    std::string err = captured([] {
        qel::guardedVoid("reloadStats", [] { ++ran; });
        qel::guardedVoid("reloadStats", [] { throw std::length_error("too long"); });
    });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(err, "reloadStats: too long\n");
}

// An error is written whatever the level; nothing below it hides it.
TEST(EntryGuard, ErrorsPassTheLowestThreshold) {
    qel::setLogLevel(qel::LogLevel::error);
    std::string err = captured([] { qel::guardedVoid("t", [] { throw std::runtime_error("x"); }); });
    qel::setLogLevel(qel::LogLevel::info);
    EXPECT_EQ(err, "t: x\n");
}

} // namespace
