/*
 * Every read of a host file (/proc, /sys, /etc, /var) by a plug-in goes
 * through here, so the whole host view can be moved under another root: the
 * environment variable KESTROVA_HOST_ROOT (read on first use) or
 * setHostRoot(). Tests point this at fixture trees; the default is "/".
 */
#ifndef KESTROVA_HOSTFS_H
#define KESTROVA_HOSTFS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hostfs {

/* Files larger than this are cut unless the caller asks for more. */
constexpr size_t kDefaultLimit = 16u << 20;

/* The current root, without a trailing slash ("" for "/"). */
std::string hostRoot();
/* Sets the root; "" or "/" means the real root. Thread-safe. */
void setHostRoot(std::string_view root);
/* True when the root is the real one, so live kernel interfaces (netlink,
 * ioctls) describe the same host as the files. */
bool hostRootIsReal();

/* The path of a host file under the root. path must be absolute. */
std::string hostPath(std::string_view path);

/* Reads at most limit bytes of a host file into out. False (out empty) when
 * the file cannot be opened or read. */
bool readHostFile(std::string_view path, std::string &out, size_t limit = kDefaultLimit);

/* The first line of a small host file, without its newline (sysfs values). */
bool readHostLine(std::string_view path, std::string &out);

/* Names in a host directory (without "." and ".."), sorted. Empty when the
 * directory cannot be read. */
std::vector<std::string> listHostDir(std::string_view path);

/* True for a name that can be used as one path component: not empty, not
 * "." or "..", no '/'. Names taken from requests must pass this. */
bool isSafeComponent(std::string_view name);

} // namespace hostfs

#endif
