/*
 * The socket calls that differ between POSIX and Windows Sockets, for the
 * library's own sources (socklib, ssl_utils, the session layer). Sockets
 * are plain ints throughout the library; a Windows SOCKET handle fits one.
 */
#ifndef QEL_SOCKLIB_PLAT_H
#define QEL_SOCKLIB_PLAT_H

#include <cerrno>
#include <cstring>

#include "qel/log.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace qelplat {

#ifdef _WIN32
using pollfd_t = WSAPOLLFD;
inline int lastError() {
    return WSAGetLastError();
}
inline void printError(const char *msg) {
    qel::logError("%s: error %d\n", msg, WSAGetLastError());
}
inline int poll(pollfd_t *fds, unsigned n, int ms) {
    return WSAPoll(fds, n, ms);
}
// Windows Sockets calls are not interrupted by signals.
inline bool interrupted() {
    return false;
}
inline int closeSocket(int s) {
    return closesocket(static_cast<SOCKET>(s));
}
// Windows cannot read a socket's blocking mode back; every socket of the
// library is blocking outside the waits that switch it.
inline bool isNonBlocking(int) {
    return false;
}
inline bool setNonBlocking(int s, bool on) {
    u_long v = on ? 1 : 0;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &v) == 0;
}
// A send or receive time-out is a DWORD of milliseconds here.
inline bool setTimeout(int s, int option, long long ms) {
    DWORD v = ms <= 0 ? 0 : ms > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(ms);
    return setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, option, reinterpret_cast<const char *>(&v), sizeof v) == 0;
}
#else
using pollfd_t = struct pollfd;
inline int lastError() {
    return errno;
}
// As perror writes it: the call, a colon and the system's text.
inline void printError(const char *msg) {
    qel::logError("%s: %s\n", msg, std::strerror(errno));
}
inline int poll(pollfd_t *fds, unsigned n, int ms) {
    return ::poll(fds, n, ms);
}
inline bool interrupted() {
    return errno == EINTR;
}
inline int closeSocket(int s) {
    return ::close(s);
}
inline bool isNonBlocking(int s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && (flags & O_NONBLOCK);
}
inline bool setNonBlocking(int s, bool on) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(s, F_SETFL, flags) == 0;
}
inline bool setTimeout(int s, int option, long long ms) {
    struct timeval tv {};
    if (ms > 0) {
        tv.tv_sec = static_cast<time_t>(ms / 1000);
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    }
    return setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}
#endif

} // namespace qelplat

#endif
