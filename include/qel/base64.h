/*
 * Base64 (standard alphabet, "=" padding, no line breaks) for values that
 * cannot travel as plain text inside a message, above all the GraphML
 * subgraph.
 */
#ifndef QEL_BASE64_H
#define QEL_BASE64_H

#ifdef __cplusplus
extern "C" {
#endif

/* Encodes insize bytes. Returns a malloc'ed NUL-terminated text of
 * 4*ceil(insize/3) characters and stores that count in *outsize; null (and
 * *outsize untouched) for null arguments, insize <= 0 or no memory. */
char *base64_encode(const char *inbuf, int insize, int *outsize);

/* Encodes the insize bytes at the start of buf in place: buf holds
 * 4*ceil(insize/3) + 1 bytes, and the text (as base64_encode writes it,
 * NUL-terminated) takes the place of the bytes, with no second buffer.
 * Returns the character count; -1 for a null buf or insize <= 0. */
int base64_encode_in_place(char *buf, int insize);

/* Decodes insize characters without validating them: a character outside
 * the alphabet counts as -1 in the bit arithmetic, "=" in the third or
 * fourth position of a group ends the decoding, and a lone character in the
 * last group adds nothing. Returns a malloc'ed buffer of the bytes followed
 * by a NUL and stores the byte count in *outsize; null (and *outsize
 * untouched) under the same conditions as base64_encode. */
char *base64_decode(const char *inbuf, int insize, int *outsize);

/* base64_decode into out, which holds insize + 1 bytes (the bytes and a
 * NUL never take more) and may be inbuf itself: the text is then decoded
 * in place, with no second buffer. Returns the byte count; -1 for null
 * arguments or insize <= 0. */
int base64_decode_into(const char *inbuf, int insize, char *out);

/* Index 0-63 of c in the alphabet, or -1. */
int findInTable(char c);

#ifdef __cplusplus
}
#endif

#endif
