/*
 * Discovery of the network services this host relies on: name servers,
 * routers, directory servers, mail relays and time servers, read from the
 * daemons' configuration files (through hostfs) and, for routers, from mib2's
 * route table. Every finding becomes an outbound dependency of this host
 * through addLocalDependency. The entry points the worker runs are declared
 * in discovery.h; the steps below are theirs.
 */
#ifndef KESTROVA_DEPEND_SERVICES_H
#define KESTROVA_DEPEND_SERVICES_H

#include "dependency.h"
#include "mib2records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when the name of some process contains procname. */
int isProcessRunning(const char *procname);

/* Routers: one route of the kernel table. */
int inspectRoute(ipRoute_t route);

/* Directory services. */
int depend_discover_nis(void);
int depend_discover_nisplus(void);
int depend_discover_ldap(void);

/* Mail relays. */
int dependency_discover_sendmail(void);
int dependency_discover_postfix(void);
int dependency_discover_exim(void);
int dependency_discover_zimbra(void);

/* Time servers. */
int dependency_discover_ntpd(void);
int dependency_discover_chronyd(void);
int dependency_discover_timesyncd(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::services {

/* Line and word bounds: the resolver, router and time files are read in
 * lines of at most 4094 characters, the NIS and mail files in lines of at
 * most 1022 (a longer line is read as several lines); words are at most 1023
 * characters (resolver, time), 255 (NIS) or 127 (mail hosts). */
constexpr size_t kLongLine = 4094;
constexpr size_t kShortLine = 1022;
constexpr size_t kLongWord = 1023;
constexpr size_t kNisWord = 255;
constexpr size_t kMailWord = 127;

/* The lines of text as a fixed buffer of maxChars characters (plus the
 * newline) reads them: each piece ends after a newline or after maxChars + 1
 * characters; the newline stays on the piece. */
std::vector<std::string_view> splitLines(std::string_view text, size_t maxChars);
/* One newline at the end removed. */
std::string_view chompNewline(std::string_view line);
/* The value of "key = value" or "key=value", blanks around it removed;
 * false when line does not assign key. */
bool assignedValue(std::string_view line, std::string_view key, std::string_view &value);
/* The first count blank-separated words of line; each word longer than
 * maxLen is cut to maxLen (the rest of it is dropped, not taken as the next
 * word). Fewer words when the line has fewer. */
std::vector<std::string> words(std::string_view line, size_t count, size_t maxLen);
/* One pair of matching quotes (' or ") around the whole text removed. */
std::string_view dropQuotes(std::string_view text);
/* True for a 127.0.0.0/8 or ::1 address text. */
bool isLoopbackText(std::string_view text);
/* 4 for an IPv4 address text, 6 for an IPv6 one, else 0. */
int ipVersionOfText(std::string_view text);

/* resolv.conf: every "nameserver" value in file order (the resolver asks
 * each in turn, so each is a dependency), and the args of the last line
 * whose keyword contains "domain" or "search". */
struct ResolvConf {
    std::vector<std::string> servers;
    std::string args;
};
ResolvConf parseResolvConf(std::string_view text);

/* The first line of a file without its newline (defaultrouter,
 * default-route, defaultdomain); found false for an empty file. */
std::string parseFirstLine(std::string_view text, size_t maxChars, bool &found);

/* A shell-style KEY=value file (sysconfig/network): the value of the last
 * line whose key is exactly key and that has a value, one pair of matching
 * quotes removed; empty when there is none. */
std::string parseKeyValue(std::string_view text, std::string_view key, size_t maxChars);

/* Debian's /etc/network/interfaces (and its .d files): the value of every
 * "gateway" line, in order. */
std::vector<std::string> parseInterfacesGateways(std::string_view text);

/* /etc/yp.conf: "domain NAME server HOST" sets the domain (and adds the
 * server when given); "ypserver HOST" adds a server. ypbind binds to each
 * server it names, so every one is kept, in file order. Fields are left as
 * they were when the file names nothing. */
struct NisConf {
    std::string domain;
    std::vector<std::string> servers;
};
void parseYpConf(std::string_view text, NisConf &nis);
/* A binding file's servers: every line not beginning with '#', without its
 * newline (empty lines skipped). */
std::vector<std::string> parseServerLines(std::string_view text, size_t maxChars, size_t maxLen);

/* sendmail.cf: the smart host of every "DS" line without "$?m". */
// The host a mail relay setting names, without the brackets, port or
// sendmail mailer prefix that only tell the mailer how to reach it: the name
// inside is what resolves and what is probed.
std::string relayHostName(std::string_view word);
std::vector<std::string> parseSendmailSmartHosts(std::string_view text);
/* postfix main.cf: every host of every "relayhost = LIST" line; the list
 * is separated by commas or blanks (postfix 3.5 and later try each). */
std::vector<std::string> parsePostfixRelayHosts(std::string_view text);
/* update-exim4.conf.conf: the hosts of dc_smarthost (port and brackets
 * removed), from the last dc_smarthost line. */
std::vector<std::string> parseEximSmartHosts(std::string_view text);
/* The hosts of one exim host list ("a:b::587", "<; [2001:db8::1]:25"). */
std::vector<std::string> parseEximHostList(std::string_view list);

/* ntp.conf: the server of every line whose first word is "server" or
 * "pool"; a -4 or -6 before the server is skipped. */
std::vector<std::string> parseNtpServers(std::string_view text);

/* chrony.conf and its .conf and .sources files: the server of every
 * "server", "pool" and "peer" line, and the directories of "confdir" and
 * "sourcedir" lines. */
struct ChronyConf {
    std::vector<std::string> servers;
    std::vector<std::string> confdirs;
    std::vector<std::string> sourcedirs;
};
void parseChronyConf(std::string_view text, ChronyConf &conf);

/* timesyncd.conf and its drop-ins, fed in order: NTP= and FallbackNTP=
 * lists of the [Time] section; an empty assignment clears its list. */
struct TimesyncdConf {
    std::vector<std::string> ntp;
    std::vector<std::string> fallback;
    /* NTP= servers, or FallbackNTP= ones when there are none. */
    const std::vector<std::string> &servers() const { return ntp.empty() ? fallback : ntp; }
};
void parseTimesyncdConf(std::string_view text, TimesyncdConf &conf);

/* A host file's text; false when it cannot be read. Files are read whole,
 * up to 4 MB: configuration files are far smaller. */
bool readConfig(std::string_view path, std::string &text);

/* Fills a cleared record (outbound, now, this host as client) and hands it
 * to addLocalDependency; returns its result. */
int addFound(dependencyType_t dtype, dependencySrc_t dsrc, std::string_view server, std::string_view args,
             int ipVersion = 0);

/* The route buffer's capacity and fill count (tests). */
int routeBufferCapacity();
int routeBufferCount();

} // namespace kestrova::services
#endif

#endif
