/*
 * Streamed replies for the agent.
 *
 * A reply holding a whole table would otherwise cost a 6.5 KB qelVariable_t
 * per value before a byte of it is sent. While a QelReplyStream lives on a
 * thread, every binding handed to qelReplyAppend() for its pdu is written out
 * as XML at once and released; build() then makes the message from the pdu's
 * header fields, the streamed bindings and any still linked to the pdu, in
 * that order, byte for byte what buildQelMessage() would have made of the
 * same bindings. qelPduCleanup() on the pdu drops the streamed ones too, so an
 * error reply built after a failed walk carries none of them.
 */
#ifndef QEL_REPLY_STREAM_H
#define QEL_REPLY_STREAM_H

#include <cstdint>
#include <string>
#include <vector>

#include "qel/bigbuf.h"
#include "qel/qel.h"

class QelReplyStream {
public:
    /* Binds the stream to pdu on the calling thread until destroyed. */
    explicit QelReplyStream(const qelPdu_t *pdu);
    ~QelReplyStream();
    QelReplyStream(const QelReplyStream &) = delete;
    QelReplyStream &operator=(const QelReplyStream &) = delete;

    /* The stream bound on this thread, or null. */
    static QelReplyStream *current();
    bool boundTo(const qelPdu_t *pdu) const { return pdu == pdu_; }

    /* Writes the binding's XML; false when out of memory. */
    bool append(const qelVariable_t *v);
    uint32_t count() const { return count_; }
    size_t bytes() const { return used_ - kHeadRoom; }
    void discard();

    /*
     * The whole message, NUL-terminated: built in place in front of and
     * after the streamed text when the header fits the room kept for it
     * (no copy of the bindings), else in spill. Its length, or -1 when out
     * of memory or too large for a message. Valid until the next call on
     * the stream.
     */
    int build(const char **message, std::vector<char> &spill);

private:
    // Room kept in front of the text for the header; a larger header (a
    // table key full of escaped characters) makes build() copy instead.
    static constexpr size_t kHeadRoom = 4096;
    bool reserve(size_t more);

    const qelPdu_t *pdu_;
    QelGrowingBuffer buf_; // large replies grow by remapping, not copying
    size_t used_ = kHeadRoom;
    uint32_t count_ = 0;
    QelReplyStream *previous_;
};

#endif
