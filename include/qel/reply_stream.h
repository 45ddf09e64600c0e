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
 *
 * No client reads a message beyond a bound (QEL_MAX_MESSAGE_LEN unless set
 * lower): once the streamed text crosses it, the stream drops what it holds
 * and refuses every later binding (qelReplyAppend() then fails, which ends
 * a table walk), and the reply can only be an error (tooBig).
 *
 * A handler's one large value (the subgraph: megabytes of Base64) can be
 * handed to the stream without a copy (qelReplyTakeValue): the stream owns
 * the memory from then on, the binding's record stays empty, and the text
 * is sent from where the handler wrote it (buildParts).
 */
#ifndef QEL_REPLY_STREAM_H
#define QEL_REPLY_STREAM_H

#include <cstdint>
#include <string>
#include <vector>

#include "qel/bigbuf.h"
#include "qel/qel.h"
#include "qel/qel_session.h"

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

    /* Writes the binding's XML; false when out of memory or past the bound. */
    bool append(const qelVariable_t *v);
    /* The largest message built, at most QEL_MAX_MESSAGE_LEN bytes. */
    void setLimit(size_t bytes);
    size_t limit() const { return limit_; }
    /* True once the reply outgrew the bound (until the stream is destroyed). */
    bool overflowed() const { return overflowed_; }
    uint32_t count() const { return count_; }
    size_t bytes() const { return used_ - kHeadRoom; }
    void discard();

    /*
     * The whole message, NUL-terminated: built in place in front of and
     * after the streamed text when the header fits the room kept for it
     * (no copy of the bindings), else in spill. Its length, -1 when out of
     * memory, or -2 when the message would be larger than the bound. Valid
     * until the next call on the stream.
     */
    int build(const char **message, std::vector<char> &spill);

    /*
     * build() for sending: the message in up to three pieces, in order, a
     * value taken over by takeValue() sent from its own memory instead of
     * being copied in between. Same return values; the pieces are valid
     * until the next call on the stream.
     */
    struct Parts {
        const char *data[3];
        size_t len[3];
        int count;
    };
    int buildParts(Parts &parts, std::vector<char> &spill);

    /*
     * Takes text's memory (leaving text empty) as the value of v, a binding
     * of this reply not yet written: len characters at text.data(), which
     * must need no escaping and hold a NUL after them. v's own value fields
     * are cleared; the reply carries the taken text in v's place. False
     * (text untouched) when a value is already taken, the reply overflowed,
     * or the text is not plain. The memory is freed with the stream, or
     * when the pdu is cleaned up; a v that is not among the pdu's bindings
     * when the reply is built gets nothing.
     */
    bool takeValue(qelVariable_t *v, QelGrowingBuffer &text, size_t len);

private:
    // Room kept in front of the text for the header; a larger header (a
    // table key full of escaped characters) makes build() copy instead.
    static constexpr size_t kHeadRoom = 4096;
    bool reserve(size_t more);
    int assemble(Parts *parts, const char **message, std::vector<char> &spill);
    void dropTaken();

    const qelPdu_t *pdu_;
    QelGrowingBuffer buf_;
    size_t used_ = kHeadRoom;
    uint32_t count_ = 0;
    size_t limit_ = QEL_MAX_MESSAGE_LEN;
    bool overflowed_ = false;
    QelReplyStream *previous_;
    // A value taken over for one binding (see takeValue).
    const qelVariable_t *takenVar_ = nullptr;
    QelGrowingBuffer taken_;
    size_t takenLen_ = 0;
};

/* QelReplyStream::takeValue on the stream bound on this thread: false when
 * none is. For a handler filling v, which its caller then adds to the
 * reply; what it could not hand over stays the handler's. */
bool qelReplyTakeValue(qelVariable_t *v, QelGrowingBuffer &text, size_t len);

#endif
