// qelca: creates and shows the suite's private certificate authority file.
#include "qel/log.h"
#include "qel/ssl_utils.h"
#include "qel/version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

void usage(FILE *out) {
    fprintf(out, "usage: qelca init [DIR]    create DIR/" KESTROVA_CA_FILE
                 " (default: current directory)\n"
                 "       qelca show [FILE]   print the certificates in FILE (default " KESTROVA_CA_FILE
                 ")\n"
                 "       qelca --help | --version\n");
}

// Whether path names a directory (following links), after a failed mkdir.
bool isDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes dir and any missing parent, as mkdir -p does: a parent gets the
// mode the umask leaves, but always lets its owner in to make the next. The
// last one, when made here, is its owner's alone: it is about to hold the
// CA's key. An existing directory is left as it is.
bool makeDirectories(const std::string &dir) {
    const size_t end = dir.find_last_not_of('/');
    if (end == std::string::npos)
        return true; // the root
    const std::string path = dir.substr(0, end + 1);
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t parentMode = (0777 & ~mask) | S_IWUSR | S_IXUSR;
    for (size_t at = 0;;) {
        const size_t slash = path.find('/', at);
        const bool last = slash == std::string::npos;
        const std::string part = last ? path : path.substr(0, slash);
        if (!part.empty() && part.back() != '/') {
            if (mkdir(part.c_str(), last ? 0700 : 0777) == 0) {
                // Only when the umask took some of the owner's bits.
                const mode_t want = last ? 0700 : parentMode;
                if ((mask & (last ? S_IRWXU : S_IWUSR | S_IXUSR)) && chmod(part.c_str(), want) != 0) {
                    qel::logError("qelca: cannot set the mode of %s: %s\n", part.c_str(), strerror(errno));
                    return false;
                }
            } else {
                const int err = errno;
                if (!isDirectory(part)) {
                    if (err == EEXIST)
                        qel::logError("qelca: %s is not a directory\n", part.c_str());
                    else
                        qel::logError("qelca: cannot create directory %s: %s\n", part.c_str(), strerror(err));
                    return false;
                }
            }
        }
        if (last)
            return true;
        at = slash + 1;
    }
}

int doInit(const char *dir) {
    if (!*dir) {
        qel::logError("qelca: empty directory name\n");
        return 2;
    }
    if (!makeDirectories(dir))
        return 1;
    std::string path = std::string(dir) + "/" + KESTROVA_CA_FILE;
    if (make_ca_file(path.c_str()) != 1)
        return 1;
    printf("qelca: created %s\n", path.c_str());
    return 0;
}

void printName(BIO *out, const char *label, const X509_NAME *name) {
    BIO_printf(out, "%s: ", label);
    X509_NAME_print_ex(out, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    BIO_printf(out, "\n");
}

void printCert(BIO *out, X509 *cert) {
    printName(out, "Subject", X509_get_subject_name(cert));
    printName(out, "Issuer", X509_get_issuer_name(cert));
    BIO_printf(out, "Serial: ");
    i2a_ASN1_INTEGER(out, X509_get0_serialNumber(cert));
    BIO_printf(out, "\nNot before: ");
    ASN1_TIME_print(out, X509_get0_notBefore(cert));
    BIO_printf(out, "\nNot after: ");
    ASN1_TIME_print(out, X509_get0_notAfter(cert));
    BIO_printf(out, "\n");
    EVP_PKEY *key = X509_get0_pubkey(cert);
    if (key)
        BIO_printf(out, "Public key: %s %d bits\n", EVP_PKEY_get0_type_name(key), EVP_PKEY_get_bits(key));
    BIO_printf(out, "Signature: %s\n", OBJ_nid2ln(X509_get_signature_nid(cert)));
    int count = X509_get_ext_count(cert);
    BIO_printf(out, "Extensions:%s\n", count > 0 ? "" : " none");
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION *ext = X509_get_ext(cert, i);
        ASN1_OBJECT *obj = X509_EXTENSION_get_object(ext);
        BIO_printf(out, "  ");
        i2a_ASN1_OBJECT(out, obj);
        BIO_printf(out, "%s: ", X509_EXTENSION_get_critical(ext) ? " (critical)" : "");
        if (!X509V3_EXT_print(out, ext, 0, 0))
            ASN1_STRING_print(out, X509_EXTENSION_get_data(ext));
        BIO_printf(out, "\n");
    }
}

int doShow(const char *file) {
    FILE *fp = fopen(file, "r");
    if (!fp) {
        qel::logError("qelca: cannot open %s: %s\n", file, strerror(errno));
        return 1;
    }
    BIO *out = BIO_new_fp(stdout, BIO_NOCLOSE);
    int shown = 0;
    while (X509 *cert = PEM_read_X509(fp, nullptr, nullptr, nullptr)) {
        if (shown)
            BIO_printf(out, "\n");
        printCert(out, cert);
        X509_free(cert);
        ++shown;
    }
    BIO_free(out);
    fclose(fp);
    ERR_clear_error();
    if (!shown) {
        qel::logError("qelca: no certificate in %s\n", file);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h") {
        usage(stdout);
        return 0;
    }
    if (cmd == "--version" && argc == 2)
        return qel::printVersion("qelca");
    if (argc > 3) {
        qel::logError("qelca: %s takes one argument at most, not '%s'\n", argv[1], argv[3]);
        usage(stderr);
        return 2;
    }
    if (cmd == "init")
        return doInit(argc == 3 ? argv[2] : ".");
    if (cmd == "show")
        return doShow(argc == 3 ? argv[2] : KESTROVA_CA_FILE);
    qel::logError("qelca: unknown command %s\n", argv[1]);
    usage(stderr);
    return 2;
}
