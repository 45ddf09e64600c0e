#include "tls_testutil.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace tlstest {

CwdGuard::CwdGuard(const std::string &dir) {
    char buf[4096];
    if (!getcwd(buf, sizeof buf))
        throw std::runtime_error("getcwd failed");
    old_ = buf;
    if (chdir(dir.c_str()) != 0)
        throw std::runtime_error("chdir " + dir + " failed");
}

CwdGuard::~CwdGuard() {
    if (chdir(old_.c_str()) != 0)
        std::perror("chdir back");
}

X509Ptr readCert(const std::string &path) {
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp)
        return nullptr;
    X509 *x = PEM_read_X509(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    return X509Ptr(x);
}

PkeyPtr readKey(const std::string &path, const char *pass) {
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp)
        return nullptr;
    // A non-null phrase also keeps OpenSSL from prompting.
    EVP_PKEY *k = PEM_read_PrivateKey(fp, nullptr, nullptr, const_cast<char *>(pass ? pass : ""));
    fclose(fp);
    return PkeyPtr(k);
}

std::vector<std::string> pemBlocks(const std::string &path) {
    std::vector<std::string> blocks;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("-----BEGIN ", 0) == 0)
            blocks.push_back(line);
    return blocks;
}

std::vector<std::pair<std::string, std::string>> nameEntries(const X509_NAME *name) {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
        int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(e));
        const ASN1_STRING *s = X509_NAME_ENTRY_get_data(e);
        out.emplace_back(OBJ_nid2sn(nid), std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)),
                                                      static_cast<size_t>(ASN1_STRING_length(s))));
    }
    return out;
}

std::string extensionText(X509_EXTENSION *ext) {
    BIO *b = BIO_new(BIO_s_mem());
    X509V3_EXT_print(b, ext, 0, 0);
    char *data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string s(data, static_cast<size_t>(n));
    BIO_free(b);
    return s;
}

long validitySeconds(const X509 *cert) {
    int days = 0, secs = 0;
    if (!ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(cert), X509_get0_notAfter(cert)))
        return -1;
    return days * 86400L + secs;
}

} // namespace tlstest
