/*
 * TLS context, thread-safety callbacks and enrolment into the suite's private
 * certificate authority.
 *
 * A program calls init_ssl_stuff once before opening sessions: on its first
 * run it makes an RSA key, a certificate request naming the host, and a
 * certificate signed with the CA key held in "kestrova.pem"; then it builds
 * the process-wide TLS context `ctx` that every session uses.
 */
#ifndef QEL_SSL_UTILS_H
#define QEL_SSL_UTILS_H

#include <pthread.h>
#include <openssl/ssl.h>

#include "qel/qel_session.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The CA file: CA certificate followed by the CA private key (encrypted). */
#define KESTROVA_CA_FILE "kestrova.pem"

/* Operator constants that go into every certificate request's subject. */
#define KESTROVA_CERT_COUNTRY "US"
#define KESTROVA_CERT_STATE "Colorado"
#define KESTROVA_CERT_LOCALITY "Boulder"
#define KESTROVA_CERT_ORGANIZATION "Kestrova Operations"
#define KESTROVA_CERT_ORG_UNIT "Kestrova"

#define KESTROVA_RSA_BITS 2048
#define KESTROVA_CERT_DAYS 3650
#define KESTROVA_CERT_SECONDS 315360000L

/* Pass phrase of the CA private key in "kestrova.pem" (41 characters). The
 * CA tool encrypts the key with it and generate_cert decrypts with it. */
extern const char kestrova_ca_pass_phrase[];

/* The process-wide TLS context, built by initialize_ssl_ctx. */
extern SSL_CTX *ctx;
/* One mutex per lock of the TLS library, built by THREAD_setup. */
extern pthread_mutex_t *mutex_buf;

int init_ssl_stuff(const char *fqdn, const char *certfile, const char *csrfile);
int terminate_ssl_stuff(void);
int initialize_ssl_ctx(const char *keyfile);
int check_certificate(qelSession *session);
/*
 * Makes the program a client that keeps its TLS session across runs: the
 * session of its last connection is kept in the file name (resolved as the
 * key files are, mode 0600) and offered on the next connection of a later
 * run to the same peer address and port, with the same own key file, while
 * the peer's certificate in it still verifies against the CA; the handshake
 * then skips both signatures. The client's own certificate and key are read
 * when a full handshake asks for them. Call before init_ssl_stuff (or
 * initialize_ssl_ctx) and before threads start; null or "" turns it off. 1.
 */
int ssl_keep_session_file(const char *name);

int make_private_key(const char *certfile);
int create_cert_request(const char *fqdn, const char *certfile, const char *csrfile);
int generate_cert(const char *certfile, const char *csrfile);
/* The private key in a PEM file: a new key object (empty when the file held
 * no RSA key), or null. The caller frees it with EVP_PKEY_free. */
EVP_PKEY *read_rsa_key_from_pem_file(const char *filename);

int get_fqdn(char *fqdn, int maxlen);
/* The name rule get_fqdn applies to the host and domain names it reads. */
int compose_fqdn(const char *host, const char *domain, char *fqdn, int maxlen);
int seed_prng(void);

int THREAD_setup(void);
int THREAD_cleanup(void);
unsigned long id_function(void);
void locking_function(int mode, int n, const char *file, int line);

int get_home_dir(const char *progname, char *dir, int maxlen);

/*
 * Directory the key files live in. Unset (the default), "kestrova.pem" and
 * relative key, request and certificate file names are taken from the current
 * directory; once set, from this directory. Null or "" resets it. Returns 1,
 * or -1 when the directory does not exist. Call before threads start.
 */
int set_ssl_home_dir(const char *dir);
/* The directory set, or "" when none is. */
const char *get_ssl_home_dir(void);

/*
 * TLS handshakes on a connected socket, bounded by a time-out in seconds
 * (0 or less: no time-out). The socket is made non-blocking for the
 * handshake and put back in its previous mode afterwards. An SSL object
 * without I/O gets a socket BIO on fd that does not close it. 1 or -1.
 */
int ssl_accept_timeout(SSL *ssl, int fd, int timeoutSeconds);
int ssl_connect_timeout(SSL *ssl, int fd, int timeoutSeconds);

/*
 * Creates a new CA file at path: a self-signed RSA certificate (CA:TRUE,
 * keyCertSign and cRLSign, valid KESTROVA_CERT_DAYS) followed by its private
 * key encrypted with kestrova_ca_pass_phrase. Never overwrites an existing
 * file. 1, or -1 with a message.
 */
int make_ca_file(const char *path);

#ifdef __cplusplus
}
#endif

#endif
