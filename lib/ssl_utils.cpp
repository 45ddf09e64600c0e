// TLS context, thread-safety callbacks and enrolment into the private CA.
#ifdef _WIN32
// Before OpenSSL's headers, which take back the names wincrypt.h (pulled in
// by the IP helper's) gives to macros.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <io.h>
#endif
#include "qel/ssl_utils.h"

#include "qel/log.h"
#include "qel/strutil.h"

#include "socklib_plat.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

// ---------------------------------------------------------------------------
// Platform section: the file, name and seeding calls that differ on Windows.
#ifdef _WIN32
namespace {
namespace plat {

bool isAbsolute(const char *name) {
    return name[0] == '/' || name[0] == '\\' ||
           (((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':');
}

std::string realPath(const char *path) {
    char buf[_MAX_PATH];
    return _fullpath(buf, path, sizeof buf) ? std::string(buf) : std::string();
}

// A new key file; its folder's permissions guard it (no mode bits here).
FILE *openPrivate(const std::string &path, bool exclusive) {
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_NOINHERIT | (exclusive ? _O_EXCL : _O_TRUNC),
                   _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    FILE *fp = _fdopen(fd, "w");
    if (!fp)
        _close(fd);
    return fp;
}

FILE *openPrivateTemp(std::string &pathTemplate) {
    int fd = mkstemp(pathTemplate.data());
    if (fd < 0)
        return nullptr;
    FILE *fp = _fdopen(fd, "w");
    if (!fp) {
        _close(fd);
        _unlink(pathTemplate.c_str());
    }
    return fp;
}

// rename() refuses an existing target here.
bool replaceFile(const std::string &from, const std::string &to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void removeFile(const std::string &path) {
    _unlink(path.c_str());
}

// No SIGPIPE: a write to a closed connection fails with an error.
void ignoreBrokenPipe() {}

// The TLS library's own seeding from the system's generator.
void seedRandom() {
    RAND_poll();
}

// The domain from the network parameters. The record is read into a buffer
// of its own size (a host with several name servers needs more: the call
// says how much, and gets it once).
bool domainName(char *out, size_t size) {
    ULONG len = sizeof(FIXED_INFO);
    std::vector<unsigned char> buf(len);
    DWORD rc = GetNetworkParams(reinterpret_cast<FIXED_INFO *>(buf.data()), &len);
    if (rc == ERROR_BUFFER_OVERFLOW && len > buf.size()) {
        buf.resize(len);
        rc = GetNetworkParams(reinterpret_cast<FIXED_INFO *>(buf.data()), &len);
    }
    if (rc != ERROR_SUCCESS) {
        qel::logError("getdomainname: failed to get network parameters\n");
        return false;
    }
    qelCopyStr(out, size, reinterpret_cast<const FIXED_INFO *>(buf.data())->DomainName);
    return true;
}

} // namespace plat
} // namespace
#else
#include <csignal>
#include <unistd.h>

namespace {
namespace plat {

bool isAbsolute(const char *name) {
    return name[0] == '/';
}

std::string realPath(const char *path) {
    char *real = realpath(path, nullptr);
    std::string out = real ? real : "";
    free(real);
    return out;
}

// Creates or truncates a file that will hold a private key: readable by the
// owner only, whatever the umask.
FILE *openPrivate(const std::string &path, bool exclusive) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    int fd = open(path.c_str(), flags, 0600);
    if (fd < 0)
        return nullptr;
    if (fchmod(fd, 0600) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *fp = fdopen(fd, "w");
    if (!fp)
        close(fd);
    return fp;
}

FILE *openPrivateTemp(std::string &pathTemplate) {
    int fd = mkstemp(pathTemplate.data());
    if (fd < 0)
        return nullptr;
    FILE *fp = fchmod(fd, 0600) == 0 ? fdopen(fd, "w") : nullptr;
    if (!fp) {
        close(fd);
        unlink(pathTemplate.c_str());
    }
    return fp;
}

bool replaceFile(const std::string &from, const std::string &to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

void removeFile(const std::string &path) {
    unlink(path.c_str());
}

// A peer that goes away mid-message must fail the write, not kill the
// process: ignore SIGPIPE unless the program chose its own handling.
void ignoreBrokenPipe() {
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
}

// OpenSSL seeds itself; 64 bytes of the system's generator are mixed in on
// top.
void seedRandom() {
    unsigned char buf[64];
    FILE *fp = fopen("/dev/urandom", "rb");
    if (fp) {
        size_t n = fread(buf, 1, sizeof buf, fp);
        fclose(fp);
        if (n > 0)
            RAND_seed(buf, static_cast<int>(n));
        OPENSSL_cleanse(buf, sizeof buf);
    }
}

bool domainName(char *out, size_t size) {
    return getdomainname(out, size) == 0 && strcmp(out, "(none)") != 0;
}

} // namespace plat
} // namespace
#endif
// ---------------------------------------------------------------------------

// The CA file outlives any one build, so its pass phrase is a fixed constant.
const char kestrova_ca_pass_phrase[] = "kestrova certificate authority: 7fQ2-Lx9w";
static_assert(sizeof(kestrova_ca_pass_phrase) == 42, "CA pass phrase must be 41 characters");

SSL_CTX *ctx = nullptr;
pthread_mutex_t *mutex_buf = nullptr;

namespace {

// The program's own key is stored unencrypted; this phrase only keeps the
// TLS library from prompting on a terminal should the key ever be encrypted.
const char kKeyPassPhrase[] = "qel";

// The TLS library's lock count. OpenSSL 3 locks internally and reports one.
constexpr int kNumLocks = 1;
constexpr int kLockBit = 1; // the library's CRYPTO_LOCK mode bit

int numLocks = 0;
std::string homeDir; // "" = current directory

struct Entry {
    const char *name;
    const char *value;
};

// Subject of every certificate request; commonName is filled per request.
const Entry entries[] = {
    {"countryName", KESTROVA_CERT_COUNTRY},
    {"stateOrProvinceName", KESTROVA_CERT_STATE},
    {"localityName", KESTROVA_CERT_LOCALITY},
    {"organizationName", KESTROVA_CERT_ORGANIZATION},
    {"organizationalUnitName", KESTROVA_CERT_ORG_UNIT},
    {"commonName", ""},
};
constexpr size_t kNumEntries = sizeof(entries) / sizeof(entries[0]);

// Extensions of every certificate the CA signs, in this order.
const Entry ext_ent[] = {
    {"basicConstraints", "CA:FALSE"},
    {"nsComment", "\"Kestrova Generated Certificate\""},
    {"subjectKeyIdentifier", "hash"},
    {"authorityKeyIdentifier", "keyid,issuer:always"},
    {"keyUsage", "nonRepudiation,digitalSignature,keyEncipherment"},
};

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509 *p) const { X509_free(p); }
};
struct ReqFree {
    void operator()(X509_REQ *p) const { X509_REQ_free(p); }
};
struct NameFree {
    void operator()(X509_NAME *p) const { X509_NAME_free(p); }
};
struct NameEntryFree {
    void operator()(X509_NAME_ENTRY *p) const { X509_NAME_ENTRY_free(p); }
};
struct ExtFree {
    void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
};
struct ExtStackFree {
    void operator()(STACK_OF(X509_EXTENSION) * p) const { sk_X509_EXTENSION_pop_free(p, X509_EXTENSION_free); }
};
struct CtxFree {
    void operator()(SSL_CTX *p) const { SSL_CTX_free(p); }
};

using FilePtr = std::unique_ptr<FILE, FileCloser>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using ReqPtr = std::unique_ptr<X509_REQ, ReqFree>;
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;
using NameEntryPtr = std::unique_ptr<X509_NAME_ENTRY, NameEntryFree>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, ExtFree>;
using ExtStackPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), ExtStackFree>;
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

// Where a key file named by a program really is: relative names live in the
// home directory when one is set.
std::string resolvePath(const char *name) {
    if (homeDir.empty() || plat::isAbsolute(name))
        return name;
    return homeDir + "/" + name;
}

FILE *openFile(const char *name, const char *mode) {
    return fopen(resolvePath(name).c_str(), mode);
}

FILE *openPrivateFile(const std::string &path, bool exclusive) {
    return plat::openPrivate(path, exclusive);
}

EVP_PKEY *generateRsaKey() {
    return EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(KESTROVA_RSA_BITS));
}

// Appends the entries to a name, one ASCII entry each; the messages say which
// step failed.
bool addNameEntries(X509_NAME *name, const Entry *list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int nid = OBJ_txt2nid(list[i].name);
        if (nid == NID_undef) {
            qel::logError("Error finding NID for %s\n", list[i].name);
            return false;
        }
        NameEntryPtr ent(X509_NAME_ENTRY_create_by_NID(nullptr, nid, MBSTRING_ASC,
                                                       reinterpret_cast<const unsigned char *>(list[i].value), -1));
        if (!ent) {
            qel::logError("Error creating Name entry from NID\n");
            return false;
        }
        if (X509_NAME_add_entry(name, ent.get(), -1, 0) != 1) {
            qel::logError("Error adding entry to Name\n");
            return false;
        }
    }
    return true;
}

// Adds extensions to a certificate; v3 names its issuer and subject.
bool addExtensions(X509 *cert, X509V3_CTX *v3, const Entry *list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        ExtPtr ext(X509V3_EXT_nconf(nullptr, v3, list[i].name, list[i].value));
        if (!ext) {
            qel::logError("Error on \"%s = %s\"\n", list[i].name, list[i].value);
            qel::logError("Error creating X509 extension object\n");
            return false;
        }
        if (X509_add_ext(cert, ext.get(), -1) != 1) {
            qel::logError("Error on \"%s = %s\"\n", list[i].name, list[i].value);
            qel::logError("Error adding X509 extension to certificate\n");
            return false;
        }
    }
    return true;
}

// The private key from a PEM file, decrypted with passPhrase when it is
// encrypted. Distinguishes a missing file from one without a key.
enum class KeyRead { Ok, NoFile, NoKey };
KeyRead readPrivateKey(const char *file, const char *passPhrase, PkeyPtr &out) {
    FilePtr fp(openFile(file, "r"));
    if (!fp)
        return KeyRead::NoFile;
    out.reset(PEM_read_PrivateKey(fp.get(), nullptr, nullptr, const_cast<char *>(passPhrase)));
    return out ? KeyRead::Ok : KeyRead::NoKey;
}

bool fileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Handshake on a connected socket, bounded by timeoutSeconds.
int handshakeTimeout(SSL *ssl, int fd, int timeoutSeconds, bool server) {
    if (!ssl || fd < 0)
        return -1;
    if (!SSL_get_rbio(ssl) && SSL_set_fd(ssl, fd) != 1)
        return -1;
    auto step = [&] { return server ? SSL_accept(ssl) : SSL_connect(ssl); };
    if (timeoutSeconds <= 0)
        return step() == 1 ? 1 : -1;

    const bool wasNonBlocking = qelplat::isNonBlocking(fd);
    if (!wasNonBlocking && !qelplat::setNonBlocking(fd, true))
        return -1;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    int result = -1;
    for (;;) {
        ERR_clear_error();
        int r = step();
        if (r == 1) {
            result = 1;
            break;
        }
        int err = SSL_get_error(ssl, r);
        short events;
        if (err == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (err == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        else
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        qelplat::pollfd_t pfd{};
        pfd.fd = fd;
        pfd.events = events;
        int rc = qelplat::poll(&pfd, 1, static_cast<int>(left.count()));
        if (rc < 0 && qelplat::interrupted())
            continue;
        if (rc <= 0)
            break;
    }
    if (!wasNonBlocking)
        qelplat::setNonBlocking(fd, false);
    return result;
}

// The request of csrfile, its signature checked.
bool readVerifiedRequest(const char *csrfile, ReqPtr &req) {
    {
        FilePtr fp(openFile(csrfile, "r"));
        if (!fp) {
            qel::logError("Error reading request file\n");
            return false;
        }
        req.reset(PEM_read_X509_REQ(fp.get(), nullptr, nullptr, nullptr));
        if (!req) {
            qel::logError("Error reading request in file\n");
            return false;
        }
    }
    EVP_PKEY *reqKey = X509_REQ_get0_pubkey(req.get());
    if (!reqKey) {
        qel::logError("Error getting public key from request\n");
        return false;
    }
    if (X509_REQ_verify(req.get(), reqKey) != 1) {
        qel::logError("Error verifying signature on certificate\n");
        return false;
    }
    return true;
}

// The CA's certificate and private key.
bool readCa(X509Ptr &caCert, PkeyPtr &caKey) {
    {
        FilePtr fp(openFile(KESTROVA_CA_FILE, "r"));
        if (!fp) {
            qel::logError("Error reading CA certificate file\n");
            return false;
        }
        caCert.reset(PEM_read_X509(fp.get(), nullptr, nullptr, nullptr));
        if (!caCert) {
            qel::logError("Error reading CA certificate in file\n");
            return false;
        }
    }
    switch (readPrivateKey(KESTROVA_CA_FILE, kestrova_ca_pass_phrase, caKey)) {
    case KeyRead::NoFile: qel::logError("Error reading CA private key file\n"); return false;
    case KeyRead::NoKey: qel::logError("Error reading CA private key in file\n"); return false;
    case KeyRead::Ok: break;
    }
    return true;
}

// Everything of the certificate but its signature: the request's subject,
// key and subjectAltName, the CA as issuer, the validity and extensions.
bool fillCertificate(X509 *cert, X509_REQ *req, X509 *caCert) {
    X509_NAME *subject = X509_REQ_get_subject_name(req);
    if (!subject) {
        qel::logError("Error getting subject name from request\n");
        return false;
    }
    ExtStackPtr reqExts(X509_REQ_get_extensions(req));
    if (!reqExts) {
        qel::logError("Error getting the request's extensions\n");
        return false;
    }
    X509_EXTENSION *altName = nullptr;
    int altPos = X509v3_get_ext_by_NID(reqExts.get(), NID_subject_alt_name, -1);
    if (altPos >= 0)
        altName = X509v3_get_ext(reqExts.get(), altPos);
    if (X509_set_version(cert, X509_VERSION_3) != 1) {
        qel::logError("Error settin certificate version\n");
        return false;
    }
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    if (X509_set_subject_name(cert, subject) != 1) {
        qel::logError("Error setting subject name of certificate\n");
        return false;
    }
    X509_NAME *issuer = X509_get_subject_name(caCert);
    if (!issuer) {
        qel::logError("Error getting subject name from CA certificate\n");
        return false;
    }
    if (X509_set_issuer_name(cert, issuer) != 1) {
        qel::logError("Error setting issuer name of certificate\n");
        return false;
    }
    if (X509_set_pubkey(cert, X509_REQ_get0_pubkey(req)) != 1) {
        qel::logError("Error setting public key of the certificate\n");
        return false;
    }
    if (!X509_gmtime_adj(X509_getm_notBefore(cert), 0)) {
        qel::logError("Error setting beginning time of the certificate\n");
        return false;
    }
    if (!X509_gmtime_adj(X509_getm_notAfter(cert), KESTROVA_CERT_SECONDS)) {
        qel::logError("Error setting ending time of the certificate\n");
        return false;
    }
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, caCert, cert, nullptr, nullptr, 0);
    if (!addExtensions(cert, &v3, ext_ent, sizeof ext_ent / sizeof ext_ent[0]))
        return false;
    if (!altName || X509_add_ext(cert, altName, -1) != 1) {
        qel::logError("Error adding subjectAltName to certificate\n");
        return false;
    }
    return true;
}

} // namespace

extern "C" {

int set_ssl_home_dir(const char *dir) {
    if (!dir || !*dir) {
        homeDir.clear();
        return 1;
    }
    // Stored absolute, so a later chdir does not move the key files.
    std::string real = plat::realPath(dir);
    struct stat st;
    if (real.empty() || stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        qel::logError("set_ssl_home_dir: no directory %s\n", dir);
        return -1;
    }
    homeDir = real;
    return 1;
}

const char *get_ssl_home_dir(void) {
    return homeDir.c_str();
}

int get_home_dir(const char *progname, char *dir, int maxlen) {
    (void)progname;
    if (dir && maxlen > 0)
        dir[0] = '\0';
    return -1;
}

unsigned long id_function(void) {
    return static_cast<unsigned long>(pthread_self());
}

void locking_function(int mode, int n, const char *file, int line) {
    (void)file;
    (void)line;
    if (!mutex_buf || n < 0 || n >= numLocks)
        return;
    if (mode & kLockBit)
        pthread_mutex_lock(&mutex_buf[n]);
    else
        pthread_mutex_unlock(&mutex_buf[n]);
}

int THREAD_setup(void) {
    if (mutex_buf) // already set up: keep the mutexes that may be held
        return 1;
    auto *buf = static_cast<pthread_mutex_t *>(malloc(kNumLocks * sizeof(pthread_mutex_t)));
    if (!buf) {
        qel::logError("malloc of mutex space failed\n");
        return -1;
    }
    for (int i = 0; i < kNumLocks; ++i)
        pthread_mutex_init(&buf[i], nullptr);
    numLocks = kNumLocks;
    mutex_buf = buf;
    // OpenSSL 3 takes no id or locking callbacks: its own locks make it
    // thread-safe, so there is nothing to register.
    return 1;
}

int THREAD_cleanup(void) {
    if (!mutex_buf)
        return 0;
    for (int i = 0; i < numLocks; ++i)
        pthread_mutex_destroy(&mutex_buf[i]);
    free(mutex_buf);
    mutex_buf = nullptr;
    numLocks = 0;
    return 1;
}

int seed_prng(void) {
    plat::seedRandom();
    return 1;
}

int compose_fqdn(const char *host, const char *domain, char *fqdn, int maxlen) {
    if (!host || !fqdn || maxlen <= 0)
        return -1;
    if (!domain || strstr(host, domain))
        qelCopyStr(fqdn, static_cast<size_t>(maxlen), host);
    else
        snprintf(fqdn, static_cast<size_t>(maxlen), "%s.%s", host, domain);
    return 1;
}

int get_fqdn(char *fqdn, int maxlen) {
    if (!fqdn || maxlen < 32) {
        qel::logError("get_fqdn: invalid args\n");
        return -1;
    }
    char host[128] = {0};
    char domain[128] = {0};
    if (gethostname(host, sizeof host - 1) != 0)
        return -1;
    if (!plat::domainName(domain, sizeof domain - 1))
        domain[0] = '\0';
    return compose_fqdn(host, domain, fqdn, maxlen);
}

int make_private_key(const char *certfile) {
    if (!certfile || !*certfile) {
        qel::logError("No cert file\n");
        return -1;
    }
    PkeyPtr key(generateRsaKey());
    if (!key) {
        printf("make_private_key: key generation returned %d, %ld\n", 0, static_cast<long>(ERR_get_error()));
        return -1;
    }
    FilePtr fp(openPrivateFile(resolvePath(certfile), false));
    if (!fp)
        return -1;
    BIO *bio = BIO_new_fp(fp.get(), BIO_NOCLOSE);
    int ok = bio && PEM_write_bio_PrivateKey_traditional(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    BIO_free(bio);
    if (fflush(fp.get()) != 0)
        ok = 0;
    return ok ? 1 : -1;
}

int create_cert_request(const char *fqdn, const char *certfile, const char *csrfile) {
    if (!fqdn || !*fqdn) {
        qel::logError("create_cert_request: no FQDN\n");
        return -1;
    }
    if (!csrfile || !*csrfile) {
        qel::logError("create_cert_request: no CSR file\n");
        return -1;
    }
    if (!certfile || !*certfile) {
        qel::logError("Error reading private key file\n");
        return -1;
    }
    PkeyPtr key;
    switch (readPrivateKey(certfile, kKeyPassPhrase, key)) {
    case KeyRead::NoFile: qel::logError("Error reading private key file\n"); return -1;
    case KeyRead::NoKey: qel::logError("Error reading private key in file\n"); return -1;
    case KeyRead::Ok: break;
    }

    Entry subject[kNumEntries];
    for (size_t i = 0; i < kNumEntries; ++i)
        subject[i] = entries[i];
    subject[kNumEntries - 1].value = fqdn;

    ReqPtr req(X509_REQ_new());
    if (!req) {
        qel::logError("Failed to create X509_REQ object\n");
        return -1;
    }
    X509_REQ_set_pubkey(req.get(), key.get());
    NamePtr name(X509_NAME_new());
    if (!name) {
        qel::logError("Failed to create X509_NAME object\n");
        return -1;
    }
    if (!addNameEntries(name.get(), subject, kNumEntries))
        return -1;
    if (X509_REQ_set_subject_name(req.get(), name.get()) != 1) {
        qel::logError("Error adding subject to request");
        return -1;
    }

    ExtStackPtr exts(sk_X509_EXTENSION_new_null());
    std::string altName = std::string("DNS:") + fqdn;
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, nullptr, nullptr, req.get(), nullptr, 0);
    X509_EXTENSION *alt = X509V3_EXT_nconf_nid(nullptr, &v3, NID_subject_alt_name, altName.c_str());
    if (!alt)
        qel::logError("Error creating subjectAltName extension\n");
    else if (!exts || !sk_X509_EXTENSION_push(exts.get(), alt))
        X509_EXTENSION_free(alt);
    if (!exts || X509_REQ_add_extensions(req.get(), exts.get()) != 1) {
        qel::logError("Error adding subjectAltName to the request\n");
        return -1;
    }

    if (X509_REQ_sign(req.get(), key.get(), EVP_sha256()) <= 0) {
        qel::logError("Error signing request");
        return -1;
    }
    FilePtr fp(openFile(csrfile, "w"));
    if (!fp) {
        qel::logError("Error writing to request file\n");
        return -1;
    }
    if (PEM_write_X509_REQ(fp.get(), req.get()) != 1 || fflush(fp.get()) != 0) {
        qel::logError("Error while writing request\n");
        return -1;
    }
    return 1;
}

int generate_cert(const char *certfile, const char *csrfile) {
    if (!certfile || !*certfile) {
        qel::logError("Error writing to certificate file\n");
        return -1;
    }
    if (!csrfile || !*csrfile) {
        qel::logError("Error reading request file\n");
        return -1;
    }
    ReqPtr req;
    X509Ptr caCert;
    PkeyPtr caKey;
    if (!readVerifiedRequest(csrfile, req) || !readCa(caCert, caKey))
        return -1;
    X509Ptr cert(X509_new());
    if (!cert) {
        qel::logError("Error creating X509 object\n");
        return -1;
    }
    if (!fillCertificate(cert.get(), req.get(), caCert.get()))
        return -1;
    if (X509_sign(cert.get(), caKey.get(), EVP_sha256()) <= 0) {
        qel::logError("Error signing certificate\n");
        return -1;
    }
    FilePtr fp(openFile(certfile, "a"));
    if (!fp) {
        qel::logError("Error writing to certificate file\n");
        return -1;
    }
    if (PEM_write_X509(fp.get(), cert.get()) != 1 || fflush(fp.get()) != 0) {
        qel::logError("Error while writing certificate\n");
        return -1;
    }
    return 1;
}

EVP_PKEY *read_rsa_key_from_pem_file(const char *filename) {
    PkeyPtr key(EVP_PKEY_new());
    if (!key) {
        qel::logError("Unable to alloc RSA\n");
        return nullptr;
    }
    if (!filename || !*filename) {
        qel::logError("Cant read rsa from null file\n");
        return nullptr;
    }
    PkeyPtr found;
    if (readPrivateKey(filename, kKeyPassPhrase, found) == KeyRead::NoFile)
        return nullptr;
    if (found && EVP_PKEY_is_a(found.get(), "RSA"))
        return found.release();
    ERR_clear_error();
    return key.release();
}

} // extern "C"

namespace {

// ---- sessions kept across runs of a client ----
//
// A short-lived client (one query per process) spends most of its TLS time on
// the full handshake: its own signature, the agent's, the chain check. The
// agent hands out a session ticket after each handshake; a client that keeps
// the last one in a file offers it on its next connection to the same agent
// and the two skip the signatures. The file names the agent (address and
// port) and the client's own certificate, so a ticket is never offered to
// another peer nor under another identity; and the agent certificate the
// session was made with must still verify against today's CA before the
// ticket is offered, so resuming checks the certificate as a full handshake
// would.

constexpr const char kSessionMagic[] = "KESTROVA TLS SESSION 1";
constexpr long kMaxSessionFile = 64 * 1024;
std::string sessionFile; // "" = sessions are not kept

// "address,port" of the connected peer of ssl's socket, or "".
std::string peerTag(const SSL *ssl) {
    const int fd = SSL_get_fd(ssl);
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return "";
    char text[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    if (sa.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&sa);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (sa.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&sa);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    } else {
        return "";
    }
    return std::string(text) + "," + std::to_string(port);
}

// The client's own key file (key and certificate), read when a full
// handshake asks for a certificate, and the hex SHA-256 of its bytes when the
// context was made: a kept session belongs to that identity only.
std::string ownKeyPath;
std::string ownTag;

std::string fileDigest(const std::string &path) {
    FilePtr fp(fopen(path.c_str(), "rb"));
    if (!fp)
        return "";
    std::string bytes(static_cast<size_t>(kMaxSessionFile), '\0');
    bytes.resize(fread(bytes.data(), 1, bytes.size(), fp.get()));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (bytes.empty() || EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha256(), nullptr) != 1)
        return "";
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

// OpenSSL's queued errors, line by line as ERR_print_errors_fp writes them.
void logOpenSslErrors() {
    ERR_print_errors_cb(
        [](const char *text, size_t len, void *) {
            qel::logError("%.*s", static_cast<int>(len), text);
            return 1;
        },
        nullptr);
}

// Presents the client's certificate when the peer asks for one (a full
// handshake; a resumed one never does).
int loadOwnCertificate(SSL *ssl, void *) {
    if (SSL_get_certificate(ssl))
        return 1;
    if (SSL_use_certificate_chain_file(ssl, ownKeyPath.c_str()) != 1 ||
        SSL_use_PrivateKey_file(ssl, ownKeyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
        qel::logError("Failed to load cert file, %ld\n", static_cast<long>(ERR_peek_error()));
        logOpenSslErrors();
        return 0;
    }
    return 1;
}

struct SessionFree {
    void operator()(SSL_SESSION *p) const { SSL_SESSION_free(p); }
};
using SessionPtr = std::unique_ptr<SSL_SESSION, SessionFree>;
struct BioFree {
    void operator()(BIO *p) const { BIO_free(p); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX *p) const { X509_STORE_CTX_free(p); }
};

// Whether the peer certificate of a kept session still verifies against the
// context's CA, as a server certificate, now.
bool sessionPeerVerifies(SSL_CTX *c, SSL_SESSION *sess) {
    X509 *peer = SSL_SESSION_get0_peer(sess);
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> v(X509_STORE_CTX_new());
    if (!peer || !v || X509_STORE_CTX_init(v.get(), SSL_CTX_get_cert_store(c), peer, nullptr) != 1 ||
        X509_STORE_CTX_set_default(v.get(), "ssl_server") != 1)
        return false;
    return X509_verify_cert(v.get()) == 1;
}

// The kept session for this connection, or null.
SessionPtr readKeptSession(SSL *ssl) {
    FilePtr fp(fopen(sessionFile.c_str(), "r"));
    if (!fp)
        return nullptr;
    std::string text(static_cast<size_t>(kMaxSessionFile), '\0');
    text.resize(fread(text.data(), 1, text.size(), fp.get()));
    const std::string head = std::string(kSessionMagic) + "\npeer " + peerTag(ssl) + "\nown " + ownTag + "\n";
    if (text.compare(0, head.size(), head) != 0)
        return nullptr;
    std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(text.data() + head.size(), static_cast<int>(text.size() - head.size())));
    SessionPtr sess(bio ? PEM_read_bio_SSL_SESSION(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!sess || !SSL_SESSION_is_resumable(sess.get()))
        return nullptr;
    const time_t now = time(nullptr);
    const long issued = SSL_SESSION_get_time(sess.get());
    if (issued > now + 60 || now - issued >= SSL_SESSION_get_timeout(sess.get()))
        return nullptr;
    if (!sessionPeerVerifies(SSL_get_SSL_CTX(ssl), sess.get())) {
        ERR_clear_error();
        return nullptr;
    }
    return sess;
}

// Offers the kept session as a client's first handshake starts.
void offerKeptSession(const SSL *cssl, int where, int) {
    if (!(where & SSL_CB_HANDSHAKE_START) || sessionFile.empty())
        return;
    SSL *ssl = const_cast<SSL *>(cssl);
    if (SSL_is_server(ssl) || SSL_get0_session(ssl))
        return;
    if (SessionPtr sess = readKeptSession(ssl))
        SSL_set_session(ssl, sess.get());
}

// Keeps a session the peer allows to resume: written to a temporary file
// beside the kept one and renamed over it, readable by the owner only.
int keepNewSession(SSL *ssl, SSL_SESSION *sess) {
    if (sessionFile.empty() || !SSL_SESSION_is_resumable(sess))
        return 0;
    const std::string peer = peerTag(ssl);
    if (peer.empty() || ownTag.empty())
        return 0;
    std::string tmp = sessionFile + ".XXXXXX";
    FILE *fp = plat::openPrivateTemp(tmp);
    if (!fp)
        return 0;
    bool ok = fprintf(fp, "%s\npeer %s\nown %s\n", kSessionMagic, peer.c_str(), ownTag.c_str()) > 0 &&
              PEM_write_SSL_SESSION(fp, sess) == 1;
    ok = fclose(fp) == 0 && ok;
    if (!ok || !plat::replaceFile(tmp, sessionFile))
        plat::removeFile(tmp);
    ERR_clear_error();
    return 0; // no reference kept
}

} // namespace

extern "C" {

int ssl_keep_session_file(const char *name) {
    sessionFile = name && *name ? resolvePath(name) : std::string();
    return 1;
}

int initialize_ssl_ctx(const char *keyfile) {
    CtxPtr newCtx(SSL_CTX_new(TLS_method()));
    if (!newCtx) {
        qel::logError("Failed to create SSL context, %ld\n", static_cast<long>(ERR_peek_error()));
        logOpenSslErrors();
        return -1;
    }
    // TLS_method never offers SSL 2; anything below TLS 1.2 is refused too.
    SSL_CTX_set_min_proto_version(newCtx.get(), TLS1_2_VERSION);
    const std::string keyPath = resolvePath(keyfile ? keyfile : "");
    if (keyfile && !sessionFile.empty()) {
        // A client that keeps its session: the certificate and key are read
        // only when a full handshake needs them.
        std::string tag = fileDigest(keyPath);
        if (tag.empty()) {
            qel::logError("Failed to load cert file, cannot read %s\n", keyPath.c_str());
            return -1;
        }
        // Absolute: the handshake may come after the program changed directory.
        std::string real = plat::realPath(keyPath.c_str());
        ownKeyPath = real.empty() ? keyPath : real;
        ownTag = std::move(tag);
        SSL_CTX_set_cert_cb(newCtx.get(), loadOwnCertificate, nullptr);
        SSL_CTX_set_session_cache_mode(newCtx.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(newCtx.get(), keepNewSession);
        SSL_CTX_set_info_callback(newCtx.get(), offerKeptSession);
    } else if (!keyfile || SSL_CTX_use_certificate_chain_file(newCtx.get(), keyPath.c_str()) != 1) {
        qel::logError("Failed to load cert file, %ld\n", static_cast<long>(ERR_peek_error()));
        logOpenSslErrors();
        return -1;
    }
    if (sessionFile.empty() && SSL_CTX_use_PrivateKey_file(newCtx.get(), keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
        qel::logError("Failed to load private key file, %ld\n", static_cast<long>(ERR_peek_error()));
        logOpenSslErrors();
        return -1;
    }
    if (SSL_CTX_load_verify_locations(newCtx.get(), resolvePath(KESTROVA_CA_FILE).c_str(), nullptr) != 1) {
        qel::logError("Failed to load CA file, %ld\n", static_cast<long>(ERR_peek_error()));
        logOpenSslErrors();
        return -1;
    }
    SSL_CTX_set_verify(newCtx.get(), SSL_VERIFY_PEER, nullptr);
    if (sessionFile.empty())
        SSL_CTX_set_session_cache_mode(newCtx.get(), SSL_SESS_CACHE_OFF);
    // As a server: one session ticket per handshake, which a client may
    // offer to skip the next full handshake. A session stands for the
    // certificate checked when it was made, so the library resumes only
    // sessions of this context's name (without a name, every offered ticket
    // failed the handshake).
    static const unsigned char kSessionContext[] = "kestrova";
    SSL_CTX_set_session_id_context(newCtx.get(), kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_num_tickets(newCtx.get(), 1);
    // Connections made from the previous context hold their own reference.
    SSL_CTX_free(ctx);
    ctx = newCtx.release();
    return 1;
}

int check_certificate(qelSession *session) {
    if (!session || !session->ssl)
        return -1;
    SSL *ssl = static_cast<SSL *>(session->ssl);
    if (SSL_get_verify_result(ssl) != X509_V_OK) {
        qel::logError("Certificate does not verify\n");
        return -1;
    }
    X509Ptr peer(SSL_get1_peer_certificate(ssl));
    if (!peer)
        return 0;
    char commonName[256] = {0};
    X509_NAME_get_text_by_NID(X509_get_subject_name(peer.get()), NID_commonName, commonName, sizeof commonName);
    int count = X509_get_ext_count(peer.get());
    if (count <= 0)
        qel::logError("check_certificate: peer cert didnt have extensions\n");
    // The subject alternative name is recognised but not matched: callers
    // rely on the CA signature alone.
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION *ext = X509_get_ext(peer.get(), i);
        if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) == NID_subject_alt_name)
            break;
    }
    session->flags |= QEL_SESSION_AUTHENTICATED;
    return 1;
}

int init_ssl_stuff(const char *fqdn, const char *certfile, const char *csrfile) {
    if (!fqdn || !*fqdn) {
        qel::logError("init_ssl_stuff: no FQDN\n");
        return -1;
    }
    if (!certfile || !*certfile) {
        qel::logError("init_ssl_stuff: no certfile\n");
        return -1;
    }
    if (!csrfile || !*csrfile) {
        qel::logError("init_ssl_stuff: no csrfile\n");
        return -1;
    }
    plat::ignoreBrokenPipe();
    THREAD_setup();
    // No clean-up of the library at exit: the system takes the memory back
    // at once, and threads still running then must not find it torn down.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ATEXIT,
                     nullptr);
    seed_prng();

    {
        FilePtr ca(openFile(KESTROVA_CA_FILE, "r"));
        if (!ca) {
            qel::logError("Cannot find kestrova.pem\n");
            return -1;
        }
    }
    const std::string certPath = resolvePath(certfile);
    FILE *existing = fopen(certPath.c_str(), "r");
    if (existing) {
        fclose(existing);
    } else if (!fileExists(certPath)) {
        // First run: enrol. A failed enrolment removes the half-made key
        // file, so the next start enrols again instead of failing for ever.
        make_private_key(certfile);
        if (create_cert_request(fqdn, certfile, csrfile) != 1 || generate_cert(certfile, csrfile) != 1) {
            plat::removeFile(certPath);
            return -1;
        }
    }
    return initialize_ssl_ctx(certfile) == 1 ? 1 : -1;
}

int terminate_ssl_stuff(void) {
    THREAD_cleanup();
    return 0;
}

int ssl_accept_timeout(SSL *ssl, int fd, int timeoutSeconds) {
    return handshakeTimeout(ssl, fd, timeoutSeconds, true);
}

int ssl_connect_timeout(SSL *ssl, int fd, int timeoutSeconds) {
    return handshakeTimeout(ssl, fd, timeoutSeconds, false);
}

int make_ca_file(const char *path) {
    if (!path || !*path) {
        qel::logError("make_ca_file: no file name\n");
        return -1;
    }
    if (fileExists(path)) {
        qel::logError("make_ca_file: %s already exists, not overwritten\n", path);
        return -1;
    }
    PkeyPtr key(generateRsaKey());
    if (!key) {
        qel::logError("make_ca_file: key generation failed, %ld\n", static_cast<long>(ERR_get_error()));
        return -1;
    }
    X509Ptr cert(X509_new());
    NamePtr name(X509_NAME_new());
    if (!cert || !name) {
        qel::logError("Error creating X509 object\n");
        return -1;
    }
    const Entry subject[] = {
        {"countryName", KESTROVA_CERT_COUNTRY},
        {"stateOrProvinceName", KESTROVA_CERT_STATE},
        {"localityName", KESTROVA_CERT_LOCALITY},
        {"organizationName", KESTROVA_CERT_ORGANIZATION},
        {"organizationalUnitName", KESTROVA_CERT_ORG_UNIT},
        {"commonName", "Kestrova CA"},
    };
    if (!addNameEntries(name.get(), subject, sizeof subject / sizeof subject[0]))
        return -1;
    // A random serial keeps CA certificates of different runs apart.
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        qel::logError("make_ca_file: no random serial number\n");
        return -1;
    }
    serial[0] &= 0x7f;
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
    ok = ok && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
         X509_set_subject_name(cert.get(), name.get()) == 1 && X509_set_issuer_name(cert.get(), name.get()) == 1 &&
         X509_set_pubkey(cert.get(), key.get()) == 1 && X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) &&
         X509_gmtime_adj(X509_getm_notAfter(cert.get()), KESTROVA_CERT_SECONDS);
    if (!ok) {
        qel::logError("make_ca_file: cannot fill in the CA certificate\n");
        return -1;
    }
    // The subject key identifier must exist before the authority key
    // identifier, which copies it from this (self-issued) certificate.
    const Entry caExt[] = {
        {"basicConstraints", "critical,CA:TRUE"},
        {"keyUsage", "critical,keyCertSign,cRLSign"},
        {"subjectKeyIdentifier", "hash"},
        {"authorityKeyIdentifier", "keyid:always"},
    };
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
    if (!addExtensions(cert.get(), &v3, caExt, sizeof caExt / sizeof caExt[0]))
        return -1;
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        qel::logError("Error signing certificate\n");
        return -1;
    }

    FilePtr fp(openPrivateFile(path, true));
    if (!fp) {
        if (errno == EEXIST)
            qel::logError("make_ca_file: %s already exists, not overwritten\n", path);
        else
            qel::logError("make_ca_file: cannot create %s: %s\n", path, strerror(errno));
        return -1;
    }
    const int passLen = static_cast<int>(sizeof(kestrova_ca_pass_phrase) - 1);
    ok = PEM_write_X509(fp.get(), cert.get()) == 1 &&
         PEM_write_PrivateKey(fp.get(), key.get(), EVP_aes_256_cbc(),
                              reinterpret_cast<const unsigned char *>(kestrova_ca_pass_phrase), passLen, nullptr,
                              nullptr) == 1 &&
         fflush(fp.get()) == 0;
    if (!ok) {
        qel::logError("make_ca_file: cannot write %s\n", path);
        fp.reset();
        plat::removeFile(path);
        return -1;
    }
    return 1;
}

} // extern "C"
