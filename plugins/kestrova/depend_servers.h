/*
 * Discovery of the print, file and voice servers this host uses and of the
 * hosts using this host's NFS and SMB shares, and the virtual-machine test.
 * The worker's entry points are in discovery.h; the steps and the parsers
 * of the daemons' files (pure functions over text, tested apart from the
 * reading) are here.
 */
#ifndef KESTROVA_DEPEND_SERVERS_H
#define KESTROVA_DEPEND_SERVERS_H

#ifdef __cplusplus
extern "C" {
#endif

int dependency_discover_cups(void);
int dependency_discover_printcap(void);
int dependency_discover_asterisk(void);
int dependency_discover_vm(void);
/* 1 when this host is a virtual machine, else the remembered verdict (-1). */
int amIVirtual(void);

#ifdef __cplusplus
}

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::servers {

/* Lines are read in pieces of at most 1022 characters: the rest of a longer
 * line is read and dropped. printers.conf entries joined from continuation
 * lines hold at most 1023 characters. */
constexpr size_t kLine = 1022;
constexpr size_t kEntry = 1023;
constexpr size_t kRegistrarHost = 511;

/* The lines of text without their newlines, each cut to maxChars. */
std::vector<std::string_view> boundedLines(std::string_view text, size_t maxChars);
/* s with every character of from replaced by to. */
std::string replaced(std::string_view s, std::string_view from, char to);

/* A finding: the other host and the record's args. */
struct Found {
    std::string host;
    std::string args;
    bool operator==(const Found &o) const { return host == o.host && args == o.args; }
};

/* The host of a URI authority: user information before '@' and a port
 * dropped, an IPv6 literal without its brackets. */
std::string authorityHost(std::string_view authority);

/* CUPS's printers.conf: the print server and args of every printer block
 * with a usable DeviceURI (smb, ipp, ipps, lpd, socket). */
std::vector<Found> parseCupsPrinters(std::string_view text);

/* /etc/printers.conf: the server and args of every entry with "bsdaddr=",
 * continuation lines joined. */
std::vector<Found> parsePrintersConf(std::string_view text);

/* BSD /etc/printcap: the server (rm=) and args of every remote queue. */
std::vector<Found> parsePrintcap(std::string_view text);

/* A remote file system this host is configured to mount. */
struct RemoteMount {
    std::string filesystem; /* "host:/path" or "//host/share" */
    std::string fstype;
    bool operator==(const RemoteMount &o) const { return filesystem == o.filesystem && fstype == o.fstype; }
};
/* /etc/fstab: its NFS and SMB entries (octal escapes decoded). */
std::vector<RemoteMount> parseFstabRemote(std::string_view text);
/* auto.master (and its .autofs drop-ins): the map files it names ("file:"
 * and plain paths; a name without '/' is under /etc). */
std::vector<std::string> parseAutoMaster(std::string_view text);
/* An automounter map file: the location of every entry, type from its
 * -fstype= option (nfs when none; "://host/share" is cifs). */
std::vector<RemoteMount> parseAutoMap(std::string_view text);

/* rmtab: the client and exported path of every mounted entry. */
struct RmtabEntry {
    std::string client;
    std::string path;
};
std::vector<RmtabEntry> parseRmtab(std::string_view text);

/* The client address of one /proc/fs/nfsd/clients/N/info file (port and
 * brackets removed); empty when it names none. */
std::string parseNfsdClientAddress(std::string_view text);

/* smbstatus -S: share, process id and client machine of every connection
 * below the heading's separator line. A share name may hold blanks. */
struct SmbConnection {
    std::string share;
    std::string pid;
    std::string machine;
};
std::vector<SmbConnection> parseSmbstatusShares(std::string_view text);

/* iax.conf and sip.conf: the registrar host of every "register =>" line. */
std::vector<std::string> parseRegisterLines(std::string_view text);

/* pjsip.conf: the host of the server_uri of every "type=registration"
 * section. */
std::vector<std::string> parsePjsipRegistrations(std::string_view text);

/* The host of a SIP URI ("sip:user@host:5060;transport=udp"). */
std::string sipUriHost(std::string_view uri);

/* True when the DMI system vendor and product name are a hypervisor's. */
bool dmiIsVirtual(std::string_view sysVendor, std::string_view productName);
/* True when some "flags" line of /proc/cpuinfo holds "hypervisor". */
bool cpuinfoHasHypervisor(std::string_view text);

/* Runs argv[0] with argv (no shell), stdin and stderr on /dev/null, with
 * PATH and LC_ALL=C only and no descriptor above 2; its standard output,
 * at most maxBytes (the rest is dropped), goes to out. The program is
 * killed after timeoutMs. Returns 0 when it ran (whatever its exit status),
 * -1 when it could not be started, -2 when its output could not be read. */
int runStatusCommand(const std::vector<std::string> &argv, std::string &out, size_t maxBytes, int timeoutMs);

/* The status command's bounds (tests shorten the time). */
void setStatusCommandTimeoutMs(int ms);
/* Forgets the status command found (tests). */
void resetSambaForTests();
/* Forgets the virtual-machine verdict and the host facts (tests). */
void resetVirtualForTests();
/* The copy table's capacity (tests). */
int filesysCopyCapacity();

} // namespace kestrova::servers
#endif

#endif
