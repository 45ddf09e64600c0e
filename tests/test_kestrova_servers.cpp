// link: kestrova_frame kestrova_core
// Printers, file servers and their clients, voice servers and the
// virtual-machine test: the parsers on text; the host tree
// tests/fixtures/discoverhost1 (cupsd, rpc.mountd, smbd, asterisk and
// vmtoolsd as proc/PID/stat files, their files, nfsd's clients and a status
// program stand-in) run through the real addLocalDependency into a test
// graph; trees made per test for the gates; the status runner with programs
// that hang, flood and list what they were given.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "kestrova_test_host.h"
#include "depend_servers.h"
#include "depend_services.h"
#include "dependency.h"
#include "discovery.h"
#include "hostfs.h"
#include "process_table.h"
#include "sysinfo.h"
#include "testutil.h"
#include "qel/log.h"

using namespace kestrova::servers;
using Strings = std::vector<std::string>;
using Founds = std::vector<Found>;

namespace kestrova::servers {
void PrintTo(const Found &f, std::ostream *os) {
    *os << "{" << f.host << " | " << f.args << "}";
}
} // namespace kestrova::servers

namespace {

// ---- parsers on text ----

TEST(ServerParse, LinesAreCutAndTheirRestDropped) {
    std::string longLine = std::string(kLine, 'a') + "REST\nnext";
    auto lines = boundedLines(longLine, kLine);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(kLine, 'a'));
    EXPECT_EQ(lines[1], "next");
    EXPECT_EQ(boundedLines("a\n\nb\n", 10), (std::vector<std::string_view>{"a", "", "b"}));
}

TEST(ServerParse, AuthorityHostDropsUserPortAndBrackets) {
    EXPECT_EQ(authorityHost("printhost:631"), "printhost");
    EXPECT_EQ(authorityHost("user:pw@printhost:631"), "printhost");
    EXPECT_EQ(authorityHost("a@b@host"), "host");
    EXPECT_EQ(authorityHost("[2001:db8::1]:631"), "2001:db8::1");
    EXPECT_EQ(authorityHost("u@[fe80::1]"), "fe80::1");
    EXPECT_EQ(authorityHost("[broken"), "broken");
    EXPECT_EQ(authorityHost(""), "");
}

std::string cups(const std::string &uri, bool isDefault = false) {
    return std::string(isDefault ? "<DefaultPrinter p>\n" : "<Printer p>\n") + "DeviceURI " + uri + "\n" +
           (isDefault ? "</DefaultPrinter>\n" : "</Printer>\n");
}

TEST(ServerParse, CupsEverySchemeAndTheDefaultForm) {
    // A CUPS server's queue is the NAME of /printers/NAME or /classes/NAME,
    // so two queues of one server are two dependencies.
    EXPECT_EQ(parseCupsPrinters(cups("ipp://printhost:631/printers/laser")),
              (Founds{{"printhost", "printer='laser' proto='ipp'"}}));
    EXPECT_EQ(
        parseCupsPrinters(cups("ipp://printhost:631/printers/laser") + cups("ipp://printhost:631/printers/color")),
        (Founds{{"printhost", "printer='laser' proto='ipp'"}, {"printhost", "printer='color' proto='ipp'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("ipps://printhost/classes/floor2?waitjob=false")),
              (Founds{{"printhost", "printer='floor2' proto='ipps'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("lpd://printhost/queue1", true)),
              (Founds{{"printhost", "printer='queue1' proto='lpd' order=default"}}));
    // Any other path, or none, names the device: the printer is this queue.
    EXPECT_EQ(parseCupsPrinters(cups("socket://10.0.0.9:9100/raw")),
              (Founds{{"10.0.0.9", "printer='p' proto='socket'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("socket://jet:9100")), (Founds{{"jet", "printer='p' proto='socket'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("socket://jet")), (Founds{{"jet", "printer='p' proto='socket'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("socket://jet:9100", true)),
              (Founds{{"jet", "printer='p' proto='socket' order=default"}}));
    EXPECT_EQ(parseCupsPrinters(cups("ipps://h.test/ipp/print")), (Founds{{"h.test", "printer='p' proto='ipps'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("ipp://h.test/printers")), (Founds{{"h.test", "printer='p' proto='ipp'"}}));
    EXPECT_EQ(parseCupsPrinters("<Printer office-laser>\nDeviceURI socket://jet:9100\n</Printer>\n"),
              (Founds{{"jet", "printer='office-laser' proto='socket'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("socket://:9100")), Founds{}) << "no host";
    EXPECT_EQ(parseCupsPrinters(cups("usb://HP/LaserJet")), Founds{});
    EXPECT_EQ(parseCupsPrinters(cups("dnssd://x._ipp._tcp.local/")), Founds{});
    // smb: with and without a domain; ';' separates like '/'.
    EXPECT_EQ(parseCupsPrinters(cups("smb://WG/srv/q", true)),
              (Founds{{"srv", "printer='q' proto='smb' domain='WG' order=default"}}));
    EXPECT_EQ(parseCupsPrinters(cups("smb://srv/q")), (Founds{{"srv", "printer='q' proto='smb' domain=''"}}));
    EXPECT_EQ(parseCupsPrinters(cups("smb://WG;srv/q")), (Founds{{"srv", "printer='q' proto='smb' domain='WG'"}}));
    // A block without a DeviceURI gives nothing; the last DeviceURI counts.
    EXPECT_EQ(parseCupsPrinters("<Printer a>\nInfo x\n</Printer>\n"), Founds{});
    EXPECT_EQ(parseCupsPrinters("<Printer a>\nDeviceURI lpd://one/q\nDeviceURI lpd://two/q\n</Printer>\n"),
              (Founds{{"two", "printer='q' proto='lpd'"}}));
    // A commented-out block opener does not open a block.
    EXPECT_EQ(parseCupsPrinters("#<Printer a>\nDeviceURI lpd://one/q\n"), Founds{});
}

TEST(ServerParse, CupsCredentialsPortsAndAddressesNeverLeak) {
    EXPECT_EQ(parseCupsPrinters(cups("smb://user:pw@WORKGROUP/server/q")),
              (Founds{{"server", "printer='q' proto='smb' domain='WORKGROUP'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("smb://user:pw@server:445/q")),
              (Founds{{"server", "printer='q' proto='smb' domain=''"}}));
    EXPECT_EQ(parseCupsPrinters(cups("ipp://user:pw@host:631/printers/x")),
              (Founds{{"host", "printer='x' proto='ipp'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("lpd://lpdhost:515/q")), (Founds{{"lpdhost", "printer='q' proto='lpd'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("socket://[2001:db8::9]:9100/raw")),
              (Founds{{"2001:db8::9", "printer='p' proto='socket'"}}));
    EXPECT_EQ(parseCupsPrinters(cups("ipp://[2001:db8::1]/printers/x")),
              (Founds{{"2001:db8::1", "printer='x' proto='ipp'"}}));
}

TEST(ServerParse, CupsDefaultBlockEndsAtItsOwnClosingTag) {
    // Read to "</Printer>" only, the default block would swallow the next
    // printer's block and its URI would replace the default's.
    std::string text =
        "<DefaultPrinter d>\nDeviceURI lpd://dhost/dq\n</DefaultPrinter>\n"
        "<Printer n>\nDeviceURI ipp://nhost/printers/n\n</Printer>\n";
    EXPECT_EQ(parseCupsPrinters(text),
              (Founds{{"dhost", "printer='dq' proto='lpd' order=default"}, {"nhost", "printer='n' proto='ipp'"}}));
}

TEST(ServerParse, CupsOverlongLinesAreCut) {
    // The rest of an over-long line is dropped, not read as a line of its own.
    std::string longUri = "lpd://h/" + std::string(2000, 'q');
    Founds f = parseCupsPrinters("<Printer p>\nDeviceURI " + longUri + "\n</Printer>\n");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].host, "h");
    EXPECT_EQ(f[0].args, "printer='" + std::string(kLine - 18, 'q') + "' proto='lpd'");
    std::string junk = "<Printer p>\nInfo " + std::string(kLine, 'x') + "DeviceURI lpd://hidden/q\n</Printer>\n";
    EXPECT_EQ(parseCupsPrinters(junk), Founds{});
}

TEST(ServerParse, PrintersConfContinuationsAndBounds) {
    std::string text =
        "# comment\n"
        "solprn:\\\n"
        "\t:bsdaddr=solserver,solq,Solaris:\\\n"
        "\t:description=Office:\n"
        "noaddr:\\\n\t:description=x:\n"
        " indented:bsdaddr=skipped,q:\n"
        "oneline:bsdaddr=srv2:\n";
    EXPECT_EQ(parsePrintersConf(text), (Founds{{"solserver", "printer='solprn' proto='lpd' destination='solq'"},
                                               {"srv2", "printer='oneline' proto='lpd' destination=''"}}));
    // The joined entry is bounded: an address beyond 1023 characters is lost.
    std::string big = "p:\\\n" + std::string(600, 'x') + "\\\n" + std::string(600, 'y') + ":bsdaddr=far,q:\n";
    EXPECT_EQ(parsePrintersConf(big), Founds{});
    // A continuation at the end of the file ends the entry.
    EXPECT_EQ(parsePrintersConf("p:bsdaddr=s,q:\\"), (Founds{{"s", "printer='p' proto='lpd' destination='q'"}}));
}

TEST(ServerParse, BsdPrintcap) {
    std::string text =
        "# lpd queues\n"
        "lp|office|Office laser:\\\n"
        "\t:sd=/var/spool/lpd/lp:\\\n"
        "\t:rm=lpdserver.test:rp=laser:\n"
        "local:lp=/dev/usb/lp0:sd=/var/spool/lpd/local:\n"
        "raw:rm=[2001:db8::7]:\n";
    EXPECT_EQ(parsePrintcap(text), (Founds{{"lpdserver.test", "printer='lp' proto='lpd' destination='laser'"},
                                           {"2001:db8::7", "printer='raw' proto='lpd' destination='lp'"}}));
}

TEST(ServerParse, FstabAndAutomounterMaps) {
    using Mounts = std::vector<RemoteMount>;
    EXPECT_EQ(parseFstabRemote("#a:/b /c nfs\n/dev/sda1 / ext4 defaults\nsrv:/e /e nfs4 rw\n"
                               "//nas/my\\040files /f cifs noauto\nbad:/x /x\n"),
              (Mounts{{"srv:/e", "nfs4"}, {"//nas/my files", "cifs"}}));
    EXPECT_EQ(parseAutoMaster("# c\n+auto.master\n/net -hosts\n/a /etc/auto.a --timeout=60\n/- auto.direct\n"
                              "/b file:/etc/auto.b\n/c ldap:ou=auto\n/d program:/etc/auto.d\n/e\n"),
              (Strings{"/etc/auto.a", "/etc/auto.direct", "/etc/auto.b"}));
    EXPECT_EQ(
        parseAutoMap("data -fstype=nfs4,rw [2001:db8::7]:/data\n"
                     "share -fstype=cifs ://win/share\n"
                     "home -rw h1:/home h2:/home\n"
                     "# c x:/y\n"
                     "local -fstype=ext4 :/dev/sdb1\n"
                     "+auto.other\n"),
        (Mounts{{"[2001:db8::7]:/data", "nfs4"}, {"//win/share", "cifs"}, {"h1:/home", "nfs"}, {"h2:/home", "nfs"}}));
}

TEST(ServerParse, RmtabAndNfsdClients) {
    auto rm = parseRmtab(
        "host1:/export:0x00000001\n#gone:/old:0x0\n*any:/x:0x1\nhost2:*wild:0x1\n"
        "fe80;;1:/v6:0x1\nlonely\n");
    ASSERT_EQ(rm.size(), 2u);
    EXPECT_EQ(rm[0].client, "host1");
    EXPECT_EQ(rm[0].path, "/export");
    EXPECT_EQ(rm[1].client, "fe80::1") << "';' stands for ':' in an address";
    EXPECT_EQ(rm[1].path, "/v6");
    EXPECT_EQ(parseNfsdClientAddress("clientid: 0x1\naddress: \"192.0.2.5:876\"\n"), "192.0.2.5");
    EXPECT_EQ(parseNfsdClientAddress("address: \"[2001:db8::5]:876\"\n"), "2001:db8::5");
    EXPECT_EQ(parseNfsdClientAddress("clientid: 0x1\nstatus: courtesy\n"), "");
}

TEST(ServerParse, SmbstatusSharesWithBlanks) {
    std::string text =
        "\nService      pid     Machine       Connected at                     Encryption   Signing\n"
        "--------------------------------------------------------------------------------------\n"
        "IPC$         21650   192.0.2.60    Tue Dec  8 16:58:01 2026 UTC     -            -\n"
        "my share     21674   127.0.0.1     Tue Dec  8 16:59:40 2026 UTC     -            -\n"
        "2024 budget  21675   192.0.2.62    Fri Mar  3 10:56:52 AM 2023 CET  -            -\n"
        "clu          1:900   192.0.2.63    Sat Dec  5 10:00:00 2026 UTC     -            -\n"
        "  indented   1       192.0.2.64    Sun Dec  6 10:00:00 2026 UTC\n"
        "nodate       77      192.0.2.65\n"
        "broken\n";
    auto c = parseSmbstatusShares(text);
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0].share, "IPC$");
    EXPECT_EQ(c[0].machine, "192.0.2.60");
    EXPECT_EQ(c[1].share, "my share");
    EXPECT_EQ(c[1].pid, "21674");
    EXPECT_EQ(c[1].machine, "127.0.0.1");
    EXPECT_EQ(c[2].share, "2024 budget");
    EXPECT_EQ(c[2].machine, "192.0.2.62");
    EXPECT_EQ(c[3].pid, "1:900");
    EXPECT_EQ(c[4].share, "nodate") << "without a date the first number after the share is the pid";
    EXPECT_EQ(c[4].machine, "192.0.2.65");
    // Nothing counts above the separator.
    EXPECT_TRUE(parseSmbstatusShares("IPC$ 1 192.0.2.1 Tue Dec  8 16:58:01 2026\n").empty());
}

TEST(ServerParse, AsteriskRegisterLines) {
    std::string text =
        "; register => x:y@commented.test\n"
        "register => 1234:password@sip.test:5060/1234\n"
        "register => 1234:password@sip.test/1234\n"
        "register=>u@bare.test ; a comment\n"
        "register => nohost\n"
        "registerattempts=10\n"
        "register => user@" +
        std::string(600, 'h') + "\n";
    Strings hosts = parseRegisterLines(text);
    ASSERT_EQ(hosts.size(), 4u);
    EXPECT_EQ(hosts[0], "sip.test");
    EXPECT_EQ(hosts[1], "sip.test/1234") << "without a port the extension stays";
    EXPECT_EQ(hosts[2], "bare.test");
    EXPECT_EQ(hosts[3], std::string(kRegistrarHost, 'h'));
}

TEST(ServerParse, PjsipRegistrations) {
    std::string text =
        "[t](!)\ntype=registration\nserver_uri=sip:tmpl.test\n"
        "[reg1]\ntype = registration\nserver_uri = sip:reg1.test:5060 ; provider\n"
        "[reg2](t)\ntype=registration\nserver_uri=<sips:user@[2001:db8::5]:5061;transport=tls>\n"
        "[auth]\ntype=auth\nserver_uri=sip:not.test\n"
        "[reg3]\ntype=registration\n";
    EXPECT_EQ(parsePjsipRegistrations(text), (Strings{"reg1.test", "2001:db8::5"}));
    EXPECT_EQ(sipUriHost("SIP:u@host.test;lr"), "host.test");
    EXPECT_EQ(sipUriHost("sip:host.test?x=y"), "host.test");
}

TEST(ServerParse, VirtualMachineTexts) {
    EXPECT_TRUE(dmiIsVirtual("QEMU", "Standard PC (Q35 + ICH9, 2009)"));
    EXPECT_TRUE(dmiIsVirtual("VMware, Inc.", "VMware Virtual Platform"));
    EXPECT_TRUE(dmiIsVirtual("innotek GmbH", "VirtualBox"));
    EXPECT_TRUE(dmiIsVirtual("Xen", "HVM domU"));
    EXPECT_TRUE(dmiIsVirtual("Microsoft Corporation", "Virtual Machine"));
    EXPECT_TRUE(dmiIsVirtual("Google", "Google Compute Engine"));
    EXPECT_TRUE(dmiIsVirtual("OpenStack Foundation", "OpenStack Nova"));
    EXPECT_TRUE(dmiIsVirtual("Amazon EC2", "m5.large"));
    EXPECT_FALSE(dmiIsVirtual("Amazon EC2", "m5.metal"));
    EXPECT_FALSE(dmiIsVirtual("Microsoft Corporation", "Surface Laptop 4"));
    EXPECT_FALSE(dmiIsVirtual("Dell Inc.", "PowerEdge R740"));
    EXPECT_FALSE(dmiIsVirtual("", ""));
    EXPECT_TRUE(cpuinfoHasHypervisor("processor\t: 0\nflags\t\t: fpu vme hypervisor lahf_lm\n"));
    EXPECT_FALSE(cpuinfoHasHypervisor("flags\t\t: fpu vme lahf_lm\nbugs\t\t: hypervisor\n"));
    EXPECT_FALSE(cpuinfoHasHypervisor("flags\t\t: fpu nothypervisor\n"));
}

// ---- trees through addLocalDependency ----

// type|pov|client|server|args|src|ipVersion of every local dependency.
std::set<std::string> rows() {
    std::set<std::string> out;
    int n = 0;
    dependency_t *all = getDependencies(&n);
    for (int i = 0; i < n; i++) {
        const dependency_t &d = all[i];
        out.insert(std::to_string(d.dtype) + "|" + std::to_string(d.pov) + "|" + d.dependClient + "|" + d.dependServer +
                   "|" + d.args + "|" + std::to_string(d.dsrc) + "|" + std::to_string(d.ipVersion));
    }
    free(all);
    return out;
}

std::map<std::string, time_t> smbUpdates() {
    std::map<std::string, time_t> out;
    int n = 0;
    dependency_t *all = getDependencies(&n);
    for (int i = 0; i < n; i++)
        if (std::string(all[i].args).find("type='smb'") == 0)
            out[all[i].args] = all[i].lastUpdate;
    free(all);
    return out;
}

void writeTree(const std::string &root, const std::vector<std::pair<std::string, std::string>> &files) {
    for (auto &[path, content] : files) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        testutil::writeFile(root + path, content);
    }
}

std::string procStat(int pid, const std::string &name) {
    return std::to_string(pid) + " (" + name +
           ") S 1 1 1 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 100 1000000 200 18446744073709551615 1 1 0 0 0 0 "
           "0 0 0 0 0 0 17 0 0 0 0 0 0\n";
}

int statFails(const char *, struct statvfs *) {
    return -1;
}

class ServerTree : public ::testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        testhost::setupGraph("wren.example.test");
        resetSambaForTests();
        resetVirtualForTests();
    }
    void TearDown() override {
        testhost::teardownGraph();
        hostfs::setHostRoot("");
        resetVirtualForTests();
    }
    void useRoot(const std::string &root) {
        hostfs::setHostRoot(root);
        reload_process_table();
    }
};

const std::string me = "wren.example.test";

// printers.conf as cupsd wrote it after lpadmin added each queue: one
// dependency per queue, the socket printer named by its queue.
TEST_F(ServerTree, QueuesAddedWithLpadmin) {
    useRoot(testutil::fixturePath("daemons-debian12"));
    EXPECT_EQ(dependency_discover_cups(), 1);
    EXPECT_EQ(rows(), (std::set<std::string>{
                          "8|0|" + me + "|198.51.100.80|printer='office' proto='socket' order=default|2|0",
                          "8|0|" + me + "|printsrv.example.test|printer='laser' proto='ipp'|2|0",
                          "8|0|" + me + "|printsrv.example.test|printer='colour' proto='ipp'|2|0",
                          "8|0|" + me + "|2001:db8:2::81|printer='airprint' proto='ipps'|2|0",
                          "8|0|" + me + "|lpdhost.example.test|printer='queue1' proto='lpd'|2|0",
                      }));
}

TEST_F(ServerTree, DiscoverHost1) {
    useRoot(testutil::fixturePath("discoverhost1"));
    EXPECT_EQ(dependency_discover_cups(), 1);
    EXPECT_EQ(dependency_discover_printcap(), 0) << "cupsd runs";
    EXPECT_EQ(dependency_discover_filesys_clients(), 1);
    EXPECT_EQ(dependency_discover_samba_clients(), 1);
    EXPECT_EQ(dependency_discover_asterisk(), 1);
    EXPECT_EQ(dependency_discover_printer(), 0);
    EXPECT_EQ(dependency_discover_voip(), 0);
    EXPECT_EQ(dependency_discover_dhcp_client(), 0);
    EXPECT_EQ(dependency_discover_dhcp_server(), 0);
    EXPECT_EQ(dependency_discover_vm(), 0);
    const std::set<std::string> want = {
        "8|0|" + me + "|printhost.example.test|printer='laser' proto='ipp'|2|0",
        "8|0|" + me + "|lpdhost.example.test|printer='queue1' proto='lpd' order=default|2|0",
        "8|0|" + me + "|smbhost.example.test|printer='hp4250' proto='smb' domain='WORKGROUP'|2|0",
        "8|0|" + me + "|winprint.example.test|printer='colour' proto='smb' domain=''|2|0",
        // Without a /printers/ path the printer is the CUPS queue itself.
        "8|0|" + me + "|jetdirect.example.test|printer='jetdirect' proto='socket'|2|0",
        "8|0|" + me + "|10.1.2.3|printer='jetqueue' proto='socket'|2|0",
        "8|0|" + me + "|2001:db8::631|printer='airprint' proto='ipps'|2|0",
        "2|1|nfsclient1.example.test|" + me + "|type='nfs' filesystem='" + me + ":/export/home'|2|0",
        "2|1|192.0.2.44|" + me + "|type='nfs' filesystem='" + me + ":/srv/data'|2|0",
        "2|1|192.0.2.50|" + me + "|type='nfs' filesystem='" + me + ":/'|2|0",
        "2|1|2001:db8::51|" + me + "|type='nfs' filesystem='" + me + ":/'|2|0",
        "2|1|192.0.2.60|" + me + "|type='smb' share='IPC$'|3|0",
        "2|1|192.0.2.60|" + me + "|type='smb' share='share1'|3|0",
        "2|1|192.0.2.61|" + me + "|type='smb' share='my share'|3|0",
        "2|1|192.0.2.62|" + me + "|type='smb' share='2024 budget'|3|0",
        "29|0|" + me + "|iax.example.test|application='asterisk'|2|0",
        "27|0|" + me + "|sip.example.test/1234|application='asterisk'|2|0",
        "27|0|" + me + "|sip2.example.test|application='asterisk'|2|0",
        "27|0|" + me + "|pjsip.example.test|application='asterisk'|2|0",
    };
    EXPECT_EQ(rows(), want);
    // One time for all connections of a call.
    std::set<time_t> times;
    for (auto &[args, t] : smbUpdates())
        times.insert(t);
    EXPECT_EQ(times.size(), 1u);
    // vmtoolsd runs.
    EXPECT_EQ(amIVirtual(), 1);
}

TEST_F(ServerTree, RemoteFilesystemsFromTheTable) {
    useRoot(testutil::fixturePath("discoverhost1"));
    sysinfoResetForTests();
    sysinfoSetStatFn(statFails);
    ASSERT_EQ(reloadFilesystems(), 1);
    sysinfoSetStatFn(nullptr);
    ASSERT_EQ(getNumberRemoteFilesystems(), 4);
    qel::setLogDebug(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependency_discover_filesys(), 4);
    std::string out = testing::internal::GetCapturedStderr();
    qel::setLogDebug(false);
    EXPECT_NE(out.find("depend_filesys: adding 'filer.example.test:/export/data'\n"), std::string::npos) << out;
    EXPECT_EQ(filesysCopyCapacity(), 4);
    EXPECT_EQ(rows(),
              (std::set<std::string>{
                  // Configured, not mounted: fstab's noauto entries
                  // and the automounter's file maps.
                  "2|0|" + me + "|backup.example.test|type='nfs' filesystem='backup.example.test:/vol/backup'|2|0",
                  "2|0|" + me + "|nas.example.test|type='cifs' filesystem='//nas.example.test/my files'|2|0",
                  "2|0|" + me + "|2001:db8::77|type='nfs4' filesystem='[2001:db8::77]:/data'|2|6",
                  "2|0|" + me + "|winsrv.example.test|type='cifs' filesystem='//winsrv.example.test/share'|2|0",
                  "2|0|" + me + "|homesrv.example.test|type='nfs' filesystem='homesrv.example.test:/export/home'|2|0",
                  "2|0|" + me + "|toolsrv.example.test|type='nfs' filesystem='toolsrv.example.test:/tools'|2|0",
                  // Mounted.
                  "2|0|" + me + "|filer.example.test|type='nfs' filesystem='filer.example.test:/export/data'|2|0",
                  // An address gives its version, a name none.
                  "2|0|" + me + "|2001:db8::2049|type='nfs4' filesystem='[2001:db8::2049]:/'|2|6",
                  "2|0|" + me + "|smbhost.example.test|type='cifs' filesystem='//smbhost.example.test/share'|2|0",
                  "2|0|" + me + "|credhost.example.test|type='nfs' filesystem='dave@credhost.example.test:/pub'|2|0",
              }));
    sysinfoResetForTests();
    EXPECT_EQ(dependency_discover_filesys(), 0);
    EXPECT_EQ(filesysCopyCapacity(), 4) << "the copy table is kept";
}

TEST_F(ServerTree, GatesWithoutDaemonsOrFiles) {
    testutil::TempDir dir;
    const std::string r = dir.path();
    writeTree(r, {{"/proc/5/stat", procStat(5, "bash")},
                  {"/etc/cups/printers.conf", cups("lpd://cupshost/q")},
                  {"/etc/printers.conf", "p:bsdaddr=solhost,q:\n"},
                  {"/etc/printcap", "lp:rm=bsdhost:rp=q:\n"},
                  {"/etc/rmtab", "c1:/e:0x1\n"},
                  {"/etc/asterisk/sip.conf", "register => u@sip.test\n"},
                  {"/var/cache/samba/connections.tdb", ""},
                  {"/proc/fs/nfsd/clients/3/info", "address: \"192.0.2.9:800\"\n"}});
    useRoot(r);
    EXPECT_EQ(dependency_discover_cups(), 0) << "no cupsd";
    EXPECT_EQ(dependency_discover_printcap(), 1);
    EXPECT_EQ(dependency_discover_filesys_clients(), 0) << "no mountd";
    EXPECT_EQ(dependency_discover_samba_clients(), 0) << "no smbd";
    EXPECT_EQ(dependency_discover_asterisk(), 0) << "no asterisk";
    // printers.conf comes before printcap; NFSv4 clients count without mountd.
    EXPECT_EQ(rows(), (std::set<std::string>{
                          "8|0|" + me + "|solhost|printer='p' proto='lpd' destination='q'|2|0",
                          "2|1|192.0.2.9|" + me + "|type='nfs' filesystem='" + me + ":/'|2|0",
                      }));

    // Daemons without their files.
    testutil::TempDir d2;
    writeTree(d2.path(), {{"/proc/6/stat", procStat(6, "rpc.mountd")},
                          {"/proc/7/stat", procStat(7, "smbd")},
                          {"/proc/8/stat", procStat(8, "cupsd")},
                          {"/etc/printcap", "lp:rm=wren.example.test:rp=lp:\n"},
                          {"/run/samba/smbXsrv_tcon_global.tdb", ""}});
    useRoot(d2.path());
    EXPECT_EQ(dependency_discover_cups(), 0) << "no printers.conf";
    EXPECT_EQ(dependency_discover_filesys_clients(), -1) << "no rmtab";
    EXPECT_EQ(dependency_discover_samba_clients(), 0) << "no status program";
    // Samba's state as a directory does not count.
    std::filesystem::remove(d2.path() + "/run/samba/smbXsrv_tcon_global.tdb");
    std::filesystem::create_directories(d2.path() + "/run/samba/smbXsrv_tcon_global.tdb");
    writeTree(d2.path(), {{"/usr/bin/smbstatus", "#!/bin/sh\necho never\n"}});
    chmod((d2.path() + "/usr/bin/smbstatus").c_str(), 0755);
    EXPECT_EQ(dependency_discover_samba_clients(), 0);
    // A queue this host serves is no dependency.
    std::filesystem::remove(d2.path() + "/proc/8/stat");
    useRoot(d2.path());
    EXPECT_EQ(dependency_discover_printcap(), 1);
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(ServerTree, StatusProgramThatCannotStartOrBeRead) {
    testutil::TempDir dir;
    writeTree(dir.path(), {{"/proc/7/stat", procStat(7, "smbd")},
                           {"/var/cache/samba/connections.tdb", ""},
                           {"/usr/bin/smbstatus", "not a program\n"}});
    useRoot(dir.path());
    EXPECT_EQ(dependency_discover_samba_clients(), 0) << "not executable";
    chmod((dir.path() + "/usr/bin/smbstatus").c_str(), 0755);
    writeTree(dir.path(), {{"/usr/bin/smbstatus", "#!/bin/sh\nsleep 30\n"}});
    chmod((dir.path() + "/usr/bin/smbstatus").c_str(), 0755);
    setStatusCommandTimeoutMs(300);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dependency_discover_samba_clients(), 1) << "a hung program is killed; its output is empty";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    setStatusCommandTimeoutMs(0);
    EXPECT_TRUE(rows().empty());
}

TEST_F(ServerTree, SambaLeavesTheOldTempPathAlone) {
    const std::string old = "/tmp/kestrova.smbstatus.out";
    struct stat st;
    bool planted = lstat(old.c_str(), &st) != 0;
    testutil::TempDir victimDir;
    const std::string victim = victimDir.path() + "/victim";
    testutil::writeFile(victim, "precious\n");
    if (planted) {
        ASSERT_EQ(symlink(victim.c_str(), old.c_str()), 0);
    }
    useRoot(testutil::fixturePath("discoverhost1"));
    EXPECT_EQ(dependency_discover_samba_clients(), 1);
    EXPECT_EQ(testutil::readFile(victim), "precious\n");
    if (planted) {
        ASSERT_EQ(lstat(old.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        unlink(old.c_str());
    }
}

TEST_F(ServerTree, VirtualVerdictOrderAndLatch) {
    // A physical host: unknown, as often as asked.
    testutil::TempDir phys;
    writeTree(phys.path(), {{"/proc/1/stat", procStat(1, "init")},
                            {"/proc/cpuinfo", "flags\t\t: fpu vme\n"},
                            {"/proc/scsi/scsi", "Vendor: ATA      Model: Samsung SSD\n"},
                            {"/sys/class/dmi/id/sys_vendor", "Dell Inc.\n"},
                            {"/sys/class/dmi/id/product_name", "PowerEdge R740\n"}});
    useRoot(phys.path());
    EXPECT_EQ(amIVirtual(), -1);
    EXPECT_EQ(amIVirtual(), -1);

    // Each sign alone makes a host virtual.
    const std::vector<std::vector<std::pair<std::string, std::string>>> signs = {
        {{"/proc/2/stat", procStat(2, "vmware-user")}},
        {{"/proc/scsi/scsi", "Host: scsi2 Channel: 00 Id: 00 Lun: 00\n  Vendor: VMware   Model: Virtual disk\n"}},
        {{"/proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu hypervisor\n"}},
        {{"/sys/class/dmi/id/sys_vendor", "QEMU\n"}},
        {{"/proc/device-tree/hypervisor/compatible", "linux,kvm\n"}},
    };
    for (size_t i = 0; i < signs.size(); ++i) {
        testutil::TempDir d;
        writeTree(d.path(), {{"/proc/1/stat", procStat(1, "init")}});
        writeTree(d.path(), signs[i]);
        useRoot(d.path());
        resetVirtualForTests();
        EXPECT_EQ(amIVirtual(), 1) << "sign " << i;
    }

    // An outbound VM dependency says so too; and once 1, always 1, even on
    // the physical tree.
    useRoot(phys.path());
    resetVirtualForTests();
    EXPECT_EQ(amIVirtual(), -1);
    dependency_t d;
    memset(&d, 0, sizeof d);
    d.dtype = dependVM;
    d.pov = dependOutbound;
    d.dsrc = dependSrcConfig;
    d.lastUpdate = time(nullptr);
    qelCopyField(d.dependClient, me.c_str());
    qelCopyField(d.dependServer, "esx.example.test");
    ASSERT_EQ(addLocalDependency(&d), 1);
    EXPECT_EQ(amIVirtual(), 1);
    removeLocalDependency(&d);
    ASSERT_EQ(amIClient(dependVM), 0);
    EXPECT_EQ(amIVirtual(), 1);
}

TEST_F(ServerTree, HostFactsAreReadOnce) {
    testutil::TempDir d;
    writeTree(d.path(), {{"/proc/cpuinfo", "flags\t\t: fpu\n"}});
    useRoot(d.path());
    EXPECT_EQ(amIVirtual(), -1);
    // A later change of the firmware texts is not read again.
    writeTree(d.path(), {{"/sys/class/dmi/id/sys_vendor", "QEMU\n"}});
    EXPECT_EQ(amIVirtual(), -1);
    // Processes are looked at on every call.
    writeTree(d.path(), {{"/proc/3/stat", procStat(3, "vmtoolsd")}});
    useRoot(d.path());
    EXPECT_EQ(amIVirtual(), 1);
}

// ---- the status runner ----

std::string script(const std::string &dir, const std::string &name, const std::string &body) {
    std::string path = dir + "/" + name;
    testutil::writeFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

TEST(StatusRunner, ArgumentsEnvironmentAndDescriptors) {
    testutil::TempDir dir;
    std::string prog = script(dir.path(), "env",
                              "echo \"args:$*\"\nenv | sort\nls /proc/$$/fd | sort -n | tr '\\n' ' '\necho\n"
                              "read x && echo \"stdin:$x\"\necho err >&2\n");
    // A descriptor the caller holds without close-on-exec must not leak.
    int leak = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 200);
    ASSERT_GE(leak, 200);
    setenv("KESTROVA_SECRET", "x", 1);
    std::string out;
    EXPECT_EQ(runStatusCommand({prog, "-S"}, out, 1u << 20, 10000), 0);
    unsetenv("KESTROVA_SECRET");
    close(leak);
    EXPECT_NE(out.find("args:-S\n"), std::string::npos) << out;
    EXPECT_NE(out.find("LC_ALL=C\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("KESTROVA_SECRET"), std::string::npos) << out;
    // Only 0-2 and what the shell opens for itself.
    size_t fdLine = out.find("0 1 2 ");
    ASSERT_NE(fdLine, std::string::npos) << out;
    std::string fds = out.substr(fdLine, out.find('\n', fdLine) - fdLine);
    EXPECT_EQ(fds.find(" " + std::to_string(leak) + " "), std::string::npos) << fds;
    EXPECT_EQ(out.find("stdin:"), std::string::npos) << "stdin is /dev/null";
    EXPECT_EQ(out.find("err"), std::string::npos) << "stderr is /dev/null";
}

TEST(StatusRunner, FloodIsCappedAndHangIsKilled) {
    testutil::TempDir dir;
    std::string flood = script(dir.path(), "flood", "head -c 3000000 /dev/zero | tr '\\0' x\necho done >&2\n");
    std::string out;
    EXPECT_EQ(runStatusCommand({flood}, out, 1u << 20, 10000), 0);
    EXPECT_EQ(out.size(), 1u << 20);

    // A program that hangs, and one whose child keeps the pipe open.
    std::string hang = script(dir.path(), "hang", "echo partial\nsleep 60\n");
    std::string bg = script(dir.path(), "bg", "sleep 60 &\necho started\n");
    for (const std::string &prog : {hang, bg}) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(runStatusCommand({prog}, out, 1u << 20, 300), 0);
        auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(250));
        EXPECT_LT(took, std::chrono::seconds(5));
        EXPECT_EQ(out.find("partial") == 0 || out.find("started") == 0, true) << out;
    }
    EXPECT_EQ(runStatusCommand({dir.path() + "/missing"}, out, 100, 1000), -1);
    EXPECT_EQ(runStatusCommand({}, out, 100, 1000), -1);
}

} // namespace
