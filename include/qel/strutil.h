/*
 * Bounded, NUL-terminated copies into fixed-size character fields.
 * Every copy into a record's char[] field goes through these, so no field is
 * ever left unterminated or written past its end.
 */
#ifndef QEL_STRUTIL_H
#define QEL_STRUTIL_H

#include <stddef.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copies at most dstsize-1 bytes of src (null src = empty) and terminates.
 * Returns the number of bytes copied; 0 when dst is null or dstsize is 0. */
static inline size_t qelCopyStr(char *dst, size_t dstsize, const char *src) {
    if (!dst || dstsize == 0)
        return 0;
    size_t n = 0;
    if (src) {
        n = strnlen(src, dstsize - 1);
        memcpy(dst, src, n);
    }
    dst[n] = '\0';
    return n;
}

/* As qelCopyStr for a source of known length (need not be terminated). */
static inline size_t qelCopyMem(char *dst, size_t dstsize, const char *src, size_t srclen) {
    if (!dst || dstsize == 0)
        return 0;
    size_t n = (src && srclen < dstsize) ? srclen : (src ? dstsize - 1 : 0);
    if (n)
        memcpy(dst, src, n);
    dst[n] = '\0';
    return n;
}

#ifdef __cplusplus
}

#include <string_view>

/* Array form: the field's size is taken from its type. */
template <size_t N>
inline size_t qelCopyField(char (&dst)[N], const char *src) {
    return qelCopyStr(dst, N, src);
}
template <size_t N>
inline size_t qelCopyField(char (&dst)[N], std::string_view src) {
    return qelCopyMem(dst, N, src.data(), src.size());
}
#endif

#endif
