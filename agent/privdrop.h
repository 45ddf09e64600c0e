// Running qeld as an unprivileged user on hosts without a service manager:
// after its sockets are bound, root hands the process to that user and keeps
// only the capabilities the plug-ins use.
#ifndef KESTROVA_PRIVDROP_H
#define KESTROVA_PRIVDROP_H

#include <cstdint>
#include <string>

namespace qeld {

// CAP_NET_RAW (raw ICMP sockets), CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE
// (other users' /proc/PID/fd), as the bit mask /proc/PID/status shows.
uint64_t agentCapabilityMask();

// Becomes `user` (its uid, primary group and supplementary groups) and keeps
// exactly the agent's capabilities: permitted, effective, inheritable and
// ambient, with every other capability dropped from the bounding set and no
// way back (no-new-privileges). Must run as root and while the process has a
// single thread, since capabilities belong to threads. On failure returns
// false with the reason in `error`; the process may then be partly changed
// and must exit.
bool dropPrivileges(const std::string &user, std::string &error);

} // namespace qeld

#endif
