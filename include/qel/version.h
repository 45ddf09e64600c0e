// The suite's version and the versions of the libraries a program runs
// with, as every program's --version prints them.
#ifndef QEL_VERSION_H
#define QEL_VERSION_H

#include <string>

namespace qel {

// "PROGRAM (Kestrova) 1.0" and one line each for OpenSSL, libxml2 and, where
// linked, PCRE2: the versions loaded at run time, not those built against.
std::string versionText(const char *program);

// Writes versionText to standard output; returns 0, the exit status.
int printVersion(const char *program);

} // namespace qel

#endif
