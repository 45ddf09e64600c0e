// Helpers for the tests of the TLS layer and the CA tool.
#ifndef KESTROVA_TLS_TESTUTIL_H
#define KESTROVA_TLS_TESTUTIL_H

#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace tlstest {

// Changes the current directory for its lifetime.
class CwdGuard {
public:
    explicit CwdGuard(const std::string &dir);
    ~CwdGuard();
    CwdGuard(const CwdGuard &) = delete;
    CwdGuard &operator=(const CwdGuard &) = delete;

private:
    std::string old_;
};

struct X509Deleter {
    void operator()(X509 *x) const { X509_free(x); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// The first certificate in a PEM file (other blocks are skipped), or null.
X509Ptr readCert(const std::string &path);
// The private key in a PEM file, decrypted with pass when given, or null.
PkeyPtr readKey(const std::string &path, const char *pass = nullptr);
// The "-----BEGIN ...-----" lines of a PEM file, in order.
std::vector<std::string> pemBlocks(const std::string &path);
// (short name, value) pairs of a certificate name, in order.
std::vector<std::pair<std::string, std::string>> nameEntries(const X509_NAME *name);
// An extension printed the way OpenSSL prints it.
std::string extensionText(X509_EXTENSION *ext);
// Whole seconds between the certificate's notBefore and notAfter.
long validitySeconds(const X509 *cert);

} // namespace tlstest

#endif
