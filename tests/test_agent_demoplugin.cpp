// link: qelhost -rdynamic
// The sample plug-in run by the host-call library, without the agent.
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <thread>

#include "qelhost.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;

struct Demo {
    void *h = nullptr;
    qelModinfoEntry_t modinfo = nullptr;
    qelInitEntry_t init = nullptr;
    qelStartEntry_t start = nullptr;
    qelFinishEntry_t finish = nullptr;
    Demo() {
        std::string path = std::string(KESTROVA_PLUGIN_DIR) + "/demoplugin-linux.so";
        h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h)
            return;
        modinfo = reinterpret_cast<qelModinfoEntry_t>(dlsym(h, "modinfo"));
        init = reinterpret_cast<qelInitEntry_t>(dlsym(h, "init"));
        start = reinterpret_cast<qelStartEntry_t>(dlsym(h, "start"));
        finish = reinterpret_cast<qelFinishEntry_t>(dlsym(h, "finish"));
    }
};

Demo &demo() {
    static Demo d; // never closed: its worker may still be sleeping
    return d;
}

TEST(DemoPlugin, ExportsTheEntryPointsAndVersionMarker) {
    ASSERT_NE(demo().h, nullptr) << dlerror();
    ASSERT_NE(demo().modinfo, nullptr);
    ASSERT_NE(demo().init, nullptr);
    ASSERT_NE(demo().start, nullptr);
    ASSERT_NE(demo().finish, nullptr);
    auto **version = static_cast<char **>(dlsym(demo().h, "versionStr"));
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(*version, "TarnVersion 1.06");
}

TEST(DemoPlugin, ModinfoChecksItsBuffers) {
    ASSERT_NE(demo().modinfo, nullptr);
    char name[64], descr[64];
    std::memset(name, 'z', sizeof name);
    std::memset(descr, 'z', sizeof descr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(demo().modinfo(name, 10, descr, 30), -1);
    EXPECT_EQ(demo().modinfo(name, 11, descr, 29), -1);
    EXPECT_EQ(demo().modinfo(nullptr, 11, descr, 30), -1);
    EXPECT_EQ(demo().modinfo(name, 11, nullptr, 30), -1);
    EXPECT_EQ(name[0], 'z') << "a refused call writes nothing";
    EXPECT_EQ(descr[0], 'z');
    EXPECT_EQ(demo().modinfo(name, 11, descr, 30), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(name, "demoPlugin");
    EXPECT_STREQ(descr, "demoPlugin version 1.06");
    std::string once = "demoplugin: modinfo called\n";
    size_t count = 0;
    for (size_t p = out.find(once); p != std::string::npos; p = out.find(once, p + 1))
        ++count;
    EXPECT_EQ(count, 5u);
}

TEST(DemoPlugin, LifeRegistersFilesRunsTheWorkerAndStopsWithoutWaiting) {
    ASSERT_NE(demo().init, nullptr);
    qelhost::Config cfg;
    cfg.pluginDir = KESTROVA_PLUGIN_DIR;
    cfg.debugLevel = 0;
    qelhost::configure(cfg);
    testing::internal::CaptureStdout();
    EXPECT_EQ(demo().init(), 1);
    EXPECT_EQ(demo().start(), 1);
    // The worker announces itself from its own thread.
    std::this_thread::sleep_for(300ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(demo().finish(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "finish does not wait";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("demoplugin: init called\n"), std::string::npos);
    EXPECT_NE(out.find("demoplugin: start called\n"), std::string::npos);
    EXPECT_NE(out.find("demoplugin: do work starting\n"), std::string::npos);
    EXPECT_NE(out.find("demoplugin: finish called\n"), std::string::npos);
    EXPECT_EQ(out.find("malloc suceeded"), std::string::npos) << "debug level 0 is quiet";
    EXPECT_EQ(out.find("worker doing work"), std::string::npos);
    EXPECT_EQ(out.find("demoplugin_dowork: returning"), std::string::npos) << "the worker ends only at its next poll";

    std::vector<std::pair<std::string, std::string>> files;
    for (const auto &m : qelhost::modules())
        if (m.package == "demoplugin") {
            EXPECT_EQ(m.kind, 2);
            EXPECT_EQ(m.required, "");
            files.emplace_back(m.file, m.version);
        }
    std::vector<std::pair<std::string, std::string>> expected = {{"demoplugin-linux.so", "1.06"},
                                                                 {"demoplugin-solaris.so", "0.00"},
                                                                 {"demoplugin-solx86.so", "0.00"},
                                                                 {"demoplugin-win32.dll", "0.00"}};
    EXPECT_EQ(files, expected);
    EXPECT_EQ(qelhost::varCount(), 0u) << "demoplugin registers no variables";
}

} // namespace
