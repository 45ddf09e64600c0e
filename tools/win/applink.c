/* The TLS library's application link: OpenSSL finds OPENSSL_Applink in the
 * executable and reaches the program's C runtime (its FILE streams) through
 * it. OpenSSL ships the table as source to be built into the program. */
#include <openssl/applink.c>
