// --version text shared by the suite's programs.
#include "qel/version.h"

#include <cstdio>
#include <cstdlib>
#include <libxml/parser.h>
#include <openssl/crypto.h>
#ifdef KESTROVA_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

#ifndef KESTROVA_VERSION
#define KESTROVA_VERSION "unknown"
#endif

namespace qel {

namespace {

// libxml2 reports its run-time version as one number, 20914 for 2.9.14.
std::string libxmlVersion() {
    long n = std::strtol(xmlParserVersion, nullptr, 10);
    return std::to_string(n / 10000) + "." + std::to_string(n / 100 % 100) + "." + std::to_string(n % 100);
}

} // namespace

std::string versionText(const char *program) {
    std::string text = std::string(program ? program : "kestrova") + " (Kestrova) " KESTROVA_VERSION "\n";
    text += std::string(OpenSSL_version(OPENSSL_VERSION)) + "\n";
    text += "libxml2 " + libxmlVersion() + "\n";
#ifdef KESTROVA_HAVE_PCRE2
    char pcre[64] = {0};
    if (pcre2_config(PCRE2_CONFIG_VERSION, pcre) > 0)
        text += std::string("PCRE2 ") + pcre + "\n";
#endif
    return text;
}

int printVersion(const char *program) {
    std::string text = versionText(program);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace qel
