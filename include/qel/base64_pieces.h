/*
 * A Base64 text decoded where it lies, a piece at a time, so that a reader
 * can pass each piece on (to a file) while it is still in the cache: a
 * subgraph's text runs to megabytes, and decoding it whole before writing
 * it out reads and writes it through memory twice more. The pieces joined
 * are the bytes base64_decode_into gives for the whole text, up to their
 * first NUL (the text a C string of them holds).
 */
#ifndef QEL_BASE64_PIECES_H
#define QEL_BASE64_PIECES_H

#include <cstddef>
#include <cstring>

#include "qel/base64.h"

class QelBase64Pieces {
  public:
    /* text: n Base64 characters, decoded over themselves (the pieces lie
     * one after the other from text on); piece: the characters decoded at
     * a time, a multiple of 4 (whole groups, so that every piece but the
     * last decodes as its characters do within the whole text). */
    QelBase64Pieces(char *text, size_t n, size_t piece = size_t{256} << 10)
        : text_(text), n_(text ? n : 0), piece_(piece >= 4 ? piece / 4 * 4 : 4) {}

    /* The next decoded piece, at text + the length so far; false once the
     * text is used up (an end by padding or a NUL included). */
    bool next(const char *&piece, size_t &len) {
        if (done_ || read_ >= n_)
            return false;
        const size_t left = n_ - read_;
        const size_t take = left > piece_ ? piece_ : left;
        const int got = base64_decode_into(text_ + read_, static_cast<int>(take), text_ + decoded_);
        piece = text_ + decoded_;
        len = got > 0 ? static_cast<size_t>(got) : 0;
        read_ += take;
        // Padding ends the text here as it ends a decoding of the whole:
        // whole groups without it give three bytes each.
        done_ = read_ == n_ || len < take / 4 * 3;
        if (const void *nul = std::memchr(piece, '\0', len)) {
            len = static_cast<size_t>(static_cast<const char *>(nul) - piece);
            done_ = true;
        }
        decoded_ += len;
        return true;
    }

    /* Decodes whatever is left without handing it out. */
    void finish() {
        const char *piece;
        size_t len;
        while (next(piece, len)) {
        }
    }

    /* The bytes decoded so far, from text on. */
    const char *text() const { return text_; }
    size_t length() const { return decoded_; }

  private:
    char *text_;
    size_t n_, piece_, read_ = 0, decoded_ = 0;
    bool done_ = false;
};

#endif
