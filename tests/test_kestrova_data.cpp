// link: kestrova_frame qelhost
// The parameter file "kestrova.xml" in temporary home directories: versioned
// reading, the elements and their bounds, the writer's exact text, the
// rewrite after a set and how it fails.
#include <gtest/gtest.h>
#include <dirent.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "kestrova.h"
#include "kestrova_data.h"
#include "qel/strutil.h"
#include "qelhost.h"
#include "testutil.h"
#include "qel/log.h"

extern "C" {
qelErrorStatus_t var_setKestrovaParams(qelVar_t *, qelVariable_t *, int);
}

namespace {

std::string configXml(const std::string &rootAttrs, const std::string &body) {
    return "<?xml version=\"1.0\"?>\n<kestrovaConfig " + rootAttrs + ">\n" + body + "</kestrovaConfig>\n";
}

std::string authenUser() {
    char buf[KESTROVA_AUTHEN_USER_LEN];
    kestrovaGetAuthenUser(buf, sizeof buf);
    return buf;
}

std::vector<std::string> filesIn(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void setMtime(const std::string &path, time_t when) {
    struct timeval tv[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

class KestrovaData : public ::testing::Test {
protected:
    void SetUp() override {
        qelhost::Config cfg;
        cfg.homeDir = home.path();
        cfg.logFile = logs.file("qeld.log");
        qelhost::configure(cfg);
        reset();
        qelCopyField(kestrovaConfigFile, home.file("kestrova.xml"));
        qelCopyField(kestrovaLocalFile, home.file("kestrova-local.xml"));
    }
    void TearDown() override { reset(); }

    static void reset() {
        dependencyAgeOutInterval = KESTROVA_DEFAULT_DEPENDENCY_AGEOUT;
        peerAgeOutInterval = KESTROVA_DEFAULT_PEER_AGEOUT;
        dependencyScanInterval = KESTROVA_DEFAULT_DEPENDENCY_SCAN;
        peerScanInterval = KESTROVA_DEFAULT_PEER_SCAN;
        kestrovaSetAuthenUser(KESTROVA_DEFAULT_AUTHEN_USER);
        kestrovaConfigVersion = 0;
        readKestrovaConfigTime = 0;
        kestrova_update_configfile = 0;
        debugLevel = 0;
        qel::setLogDebug(false);
        qelhost::removeModule("kestrova.xml", "kestrova");
    }

    // Reads the file, returning the result; out/err collect what it printed.
    int read(std::string *out = nullptr, std::string *err = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = readKestrovaConfigFile(kestrovaConfigFile);
        std::string o = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (out)
            *out = o;
        if (err)
            *err = e;
        return r;
    }

    std::string registeredVersion() {
        std::string v = "none";
        for (const auto &m : qelhost::modules())
            if (m.file == "kestrova.xml" && m.package == "kestrova" && m.kind == 4)
                v = m.version;
        return v;
    }

    void write(const std::string &text) { testutil::writeFile(kestrovaConfigFile, text); }

    testutil::TempDir home, logs;
};

TEST_F(KestrovaData, AppliesAFileOnlyWhenItsVersionRises) {
    std::string out, err;
    write(configXml("version=\"0\"", "<dependencyAgeOutInterval>100</dependencyAgeOutInterval>\n"));
    EXPECT_EQ(read(&out, &err), 0);
    EXPECT_EQ(err, "No need to re-read kestrova config file\n");
    EXPECT_EQ(dependencyAgeOutInterval.load(), 600) << "version 0 is never applied";
    EXPECT_NE(readKestrovaConfigTime, 0);

    write(configXml("version=\"1\"",
                    "<dependencyAgeOutInterval>100</dependencyAgeOutInterval>\n"
                    "<peerAgeOutInterval>200</peerAgeOutInterval>\n"));
    EXPECT_EQ(read(), 1);
    EXPECT_EQ(dependencyAgeOutInterval.load(), 100);
    EXPECT_EQ(peerAgeOutInterval.load(), 200);
    EXPECT_EQ(kestrovaConfigVersion.load(), 1);
    EXPECT_EQ(registeredVersion(), "1");

    // Changed on disk without a new version: not applied.
    write(configXml("version=\"1\"", "<dependencyAgeOutInterval>5</dependencyAgeOutInterval>\n"));
    EXPECT_EQ(read(&out, &err), 0);
    EXPECT_EQ(err, "No need to re-read kestrova config file\n");
    EXPECT_EQ(dependencyAgeOutInterval.load(), 100);

    // Unchanged since the last read: not even parsed.
    EXPECT_EQ(read(&out, &err), 0);
    EXPECT_EQ(err, "");
    debugLevel = 1;
    qel::setLogDebug(true);
    EXPECT_EQ(read(&out, &err), 0);
    EXPECT_EQ(err, "kestrova config file unchanged\n");

    // A raised version is applied, with the processing line when debugging.
    // Put in place with an older modification time (cp -p, tar, dpkg): the
    // file is still seen as changed.
    write(configXml("version=\"7\"", "<dependencyAgeOutInterval>50</dependencyAgeOutInterval>\n"));
    setMtime(kestrovaConfigFile, readKestrovaConfigTime - 3600);
    EXPECT_EQ(read(&out, &err), 1);
    EXPECT_NE(err.find("readKestrovaConfig: processing file, version 7\n"), std::string::npos) << err;
    EXPECT_NE(err.find("dependencyAgeOutInterval: '50'\n"), std::string::npos) << err;
    EXPECT_EQ(dependencyAgeOutInterval.load(), 50);
    EXPECT_EQ(peerAgeOutInterval.load(), 200) << "an element left out keeps its value";
    EXPECT_EQ(registeredVersion(), "7");
}

TEST_F(KestrovaData, RefusesMalformedFilesAndKeepsTheParameters) {
    struct Case {
        std::string text, message;
    } cases[] = {
        {configXml("id=\"x\" version=\"5\"", "<peerAgeOutInterval>9</peerAgeOutInterval>\n"),
         "readKestrovaConfig: no version\n"},
        {configXml("", "<peerAgeOutInterval>9</peerAgeOutInterval>\n"), "readKestrovaConfig: no version\n"},
        {configXml("version=\"\"", "<peerAgeOutInterval>9</peerAgeOutInterval>\n"), "readKestrovaConfig: no version\n"},
        {"<?xml version=\"1.0\"?>\n<other version=\"5\"><peerAgeOutInterval>9</peerAgeOutInterval></other>\n",
         "readKestrovaConfigFile: doc is not valid, other\n"},
        {"<?xml version=\"1.0\"?>\n<kestrovaConfig version=\"5\"/>\n",
         "kestrova config file has no config statements\n"},
        {"<?xml version=\"1.0\"?>\n<kestrovaConfig version=\"5\"><peerAgeOutInterval>9</peer",
         "failed to xml parse kestrova config file\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        write(c.text);
        std::string err;
        EXPECT_EQ(read(nullptr, &err), -1);
        // A parse failure adds libxml2's own line with its line number.
        EXPECT_EQ(err.substr(0, c.message.size()), c.message);
        if (c.message.find("xml parse") != std::string::npos)
            EXPECT_NE(err.find(": line 2: "), std::string::npos) << err;
        else
            EXPECT_EQ(err, c.message);
        EXPECT_EQ(peerAgeOutInterval.load(), 1800);
        EXPECT_EQ(kestrovaConfigVersion.load(), 0);
        EXPECT_EQ(readKestrovaConfigTime, 0) << "a failed file is tried again";
    }
    EXPECT_EQ(registeredVersion(), "none");

    std::string err;
    unlink(kestrovaConfigFile);
    EXPECT_EQ(read(nullptr, &err), -1);
    EXPECT_EQ(err, "") << "a missing file is reported only when debugging";
    debugLevel = 1;
    qel::setLogDebug(true);
    EXPECT_EQ(read(nullptr, &err), -1);
    EXPECT_NE(err.find("stat of kestorva config file failed: No such file or directory\n"), std::string::npos);
    EXPECT_NE(err.find("kestrova config file " + std::string(kestrovaConfigFile) + "\n"), std::string::npos);
    ASSERT_EQ(mkdir(kestrovaConfigFile, 0755), 0);
    EXPECT_EQ(read(nullptr, &err), -1);
    EXPECT_EQ(err, "kestrova config file is not regular!\n");
    EXPECT_EQ(read(nullptr, nullptr), -1);
    EXPECT_EQ(readKestrovaConfigFile(nullptr), -1);
}

TEST_F(KestrovaData, ElementsSetTheirParametersWithinBounds) {
    write(configXml("version=\"3\"",
                    "<!-- an operator's note -->\n"
                    "<dependencyScanInterval>30</dependencyScanInterval>\n"
                    "<peerScanInterval>120</peerScanInterval>\n"
                    "<somethingNew>1</somethingNew>\n"
                    "<qelAuthenUser>averyveryverylongusername</qelAuthenUser>\n"
                    "<peerAgeOutInterval></peerAgeOutInterval>\n"
                    "<dependencyAgeOutInterval>0</dependencyAgeOutInterval>\n"));
    std::string out, err;
    EXPECT_EQ(read(&out, &err), 1);
    EXPECT_LT(err.find("Kestrova: dependencyScanInterval is 30\n"), err.find("Kestrova: peerScanInterval is 120\n"))
        << err;
    EXPECT_NE(err.find("Kestrova: peerScanInterval is 120\n"), std::string::npos) << err;
    EXPECT_EQ(dependencyScanInterval.load(), 30);
    EXPECT_EQ(peerScanInterval.load(), 120);
    EXPECT_EQ(authenUser(), "averyveryverylon") << "the first 16 characters";
    EXPECT_EQ(peerAgeOutInterval.load(), 1800) << "an element without a value sets nothing";
    EXPECT_EQ(dependencyAgeOutInterval.load(), 0) << "zero is taken as written";

    // Negative intervals, and a dependency scan below 4 seconds, are refused
    // by name; the rest of the file still applies.
    write(configXml("version=\"4\"",
                    "<dependencyScanInterval>3</dependencyScanInterval>\n"
                    "<peerScanInterval>-5</peerScanInterval>\n"
                    "<dependencyAgeOutInterval>-1</dependencyAgeOutInterval>\n"
                    "<peerAgeOutInterval>77</peerAgeOutInterval>\n"));
    EXPECT_EQ(read(&out, &err), 1);
    EXPECT_NE(err.find("dependencyScanInterval 3 refused"), std::string::npos) << err;
    EXPECT_NE(err.find("peerScanInterval -5 refused"), std::string::npos) << err;
    EXPECT_NE(err.find("dependencyAgeOutInterval -1 refused"), std::string::npos) << err;
    EXPECT_EQ(err.find("ScanInterval is"), std::string::npos) << "a refused interval is not taken";
    EXPECT_EQ(dependencyScanInterval.load(), 30);
    EXPECT_EQ(peerScanInterval.load(), 120);
    EXPECT_EQ(dependencyAgeOutInterval.load(), 0);
    EXPECT_EQ(peerAgeOutInterval.load(), 77);

    write(configXml("version=\"5\"", "<dependencyScanInterval>4</dependencyScanInterval>\n"));
    EXPECT_EQ(read(&out, &err), 1);
    EXPECT_EQ(dependencyScanInterval.load(), 4);

    EXPECT_EQ(parseKestrovaConfigTree(nullptr), 0);
}

// The writer's text with its time replaced by "TIME".
std::string masked(const std::string &text) {
    static const std::regex when("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} -->");
    return std::regex_replace(text, when, "TIME -->");
}

TEST_F(KestrovaData, WriterTextIsExact) {
    ASSERT_EQ(writeKestrovaConfigFile(kestrovaConfigFile), 1);
    EXPECT_EQ(masked(testutil::readFile(kestrovaConfigFile)),
              "<?xml version=\"1.0\"?>\n\n"
              "<kestrovaConfig version=\"1\">\n\n"
              "<!-- Written by kestrova version 0.60, TIME -->\n\n"
              "<dependencyAgeOutInterval>600</dependencyAgeOutInterval>\n"
              "<peerAgeOutInterval>1800</peerAgeOutInterval>\n"
              "</kestrovaConfig>\n")
        << "with the defaults, no file ever applied: version 1";

    kestrovaConfigVersion = 12;
    dependencyAgeOutInterval = 29;
    kestrovaSetAuthenUser("ops<&>");
    dependencyScanInterval = 20;
    peerScanInterval = 300;
    ASSERT_EQ(writeKestrovaConfigFile(kestrovaConfigFile), 1);
    EXPECT_EQ(masked(testutil::readFile(kestrovaConfigFile)),
              "<?xml version=\"1.0\"?>\n\n"
              "<kestrovaConfig version=\"12\">\n\n"
              "<!-- Written by kestrova version 0.60, TIME -->\n\n"
              "<dependencyAgeOutInterval>29</dependencyAgeOutInterval>\n"
              "<peerAgeOutInterval>1800</peerAgeOutInterval>\n"
              "<qelAuthenUser>ops&lt;&amp;&gt;</qelAuthenUser>\n"
              "<dependencyScanInterval>20</dependencyScanInterval>\n"
              "<peerScanInterval>300</peerScanInterval>\n"
              "</kestrovaConfig>\n");
    struct stat st;
    ASSERT_EQ(stat(kestrovaConfigFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // What was written reads back as the settings in force.
    reset();
    kestrovaConfigVersion = 11;
    std::string out;
    EXPECT_EQ(read(&out), 1);
    EXPECT_EQ(dependencyAgeOutInterval.load(), 29);
    EXPECT_EQ(authenUser(), "ops<&>");
    EXPECT_EQ(dependencyScanInterval.load(), 20);
    EXPECT_EQ(peerScanInterval.load(), 300);
    EXPECT_EQ(filesIn(home.path()), std::vector<std::string>{"kestrova.xml"}) << "no temporary file left";
}

TEST_F(KestrovaData, ASetIsWrittenOnceAndAnOperatorsLaterEditSurvives) {
    qelVar_t var{};
    var.hint = 4;
    qelVariable_t value{};
    std::strcpy(value.valueStr, "29");
    value.valueStrLen = 2;
    ASSERT_EQ(var_setKestrovaParams(&var, &value, 1), noError);
    ASSERT_EQ(kestrova_update_configfile.load(), 1);

    testing::internal::CaptureStderr();
    kestrovaConfigPass();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(kestrova_update_configfile.load(), 0) << "cleared once the file is written";
    std::string written = testutil::readFile(kestrovaConfigFile);
    EXPECT_NE(written.find("<dependencyAgeOutInterval>29</dependencyAgeOutInterval>"), std::string::npos);
    EXPECT_EQ(kestrovaConfigVersion.load(), 1) << "the rewritten file is applied at the next start too";

    // The operator edits the file afterwards and raises its version.
    std::string edit = configXml("version=\"2\"", "<dependencyAgeOutInterval>17</dependencyAgeOutInterval>\n");
    write(edit);
    testing::internal::CaptureStderr();
    kestrovaConfigPass();
    kestrovaConfigPass();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testutil::readFile(kestrovaConfigFile), edit) << "not overwritten";
    EXPECT_EQ(dependencyAgeOutInterval.load(), 17);
    EXPECT_EQ(kestrovaConfigVersion.load(), 2);
}

// Drops the capabilities that let root write anywhere, so the permission
// bits apply to this process as to any other.
bool dropDacOverride() {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0)
        return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        data[cap / 32].effective &= ~(1u << (cap % 32));
        data[cap / 32].permitted &= ~(1u << (cap % 32));
    }
    return syscall(SYS_capset, &hdr, data) == 0;
}

TEST_F(KestrovaData, AFailedRewriteKeepsTheOldFile) {
    std::string old = configXml("version=\"3\"", "<dependencyAgeOutInterval>42</dependencyAgeOutInterval>\n");
    write(old);
    ASSERT_EQ(chmod(home.path().c_str(), 0555), 0);
    std::string errFile = logs.file("child.err");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FILE *f = std::freopen(errFile.c_str(), "w", stderr);
        if (!f || !dropDacOverride())
            _exit(3);
        int r = writeKestrovaConfigFile(kestrovaConfigFile);
        std::fflush(stderr);
        _exit(r == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    chmod(home.path().c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 3) << "could not set up the unwritable home";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the writer reports -1";
    EXPECT_EQ(testutil::readFile(errFile), "open/create of kestrova config file failed: Permission denied\n");
    EXPECT_NE(testutil::readFile(logs.file("qeld.log")).find("kestrova: failed to open config file"),
              std::string::npos);
    EXPECT_EQ(testutil::readFile(kestrovaConfigFile), old);
    EXPECT_EQ(filesIn(home.path()), std::vector<std::string>{"kestrova.xml"});

    // A failure after the temporary file exists (here the rename over a
    // directory) removes it.
    std::string dirTarget = home.file("taken");
    ASSERT_EQ(mkdir(dirTarget.c_str(), 0755), 0);
    testutil::writeFile(dirTarget + "/inside", "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeKestrovaConfigFile(dirTarget.c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("write of kestrova config file failed: ", 0), 0u) << err;
    EXPECT_EQ(filesIn(home.path()), (std::vector<std::string>{"kestrova.xml", "taken"}));
    EXPECT_EQ(testutil::readFile(kestrovaConfigFile), old);

    // The worker keeps the set pending when the rewrite fails.
    qelCopyField(kestrovaConfigFile, dirTarget);
    kestrova_update_configfile = 1;
    testing::internal::CaptureStderr();
    kestrovaConfigPass();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(kestrova_update_configfile.load(), 1);
}

} // namespace
