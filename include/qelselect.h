/*
 * The select-table procedure shared by every table handler of every plug-in
 * (and by the agent's own tables), and the helpers that put a value into a
 * reply variable.
 *
 * A handler walks its rows under its own lock; for each row it computes the
 * row key, asks selects() whether the request wants it, and hands addRow() a
 * callback that fills one column of the row:
 *
 *   QelSelect sel("varUdpTable", key, columns, out);
 *   if (!sel.valid()) return genError;
 *   std::lock_guard lock(tableMutex);
 *   for (const auto &row : rows) {
 *       std::string rowKey = ...;
 *       if (!sel.selects(rowKey.c_str())) continue;
 *       if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
 *               switch (column) { case 1: qelSetValue(v, integer, ...); return true; ... }
 *               return false; }))   // unknown column
 *           return sel.status();
 *   }
 *   return sel.finish("var_udpTable", debugLevel);
 *
 * Rules: an empty key or one beginning with '*' selects every row, any
 * other key the row whose key equals it (or, for KeyMatch::Contains, every
 * row whose key contains it); maxRows 0
 * means no limit; one reply variable per requested column per selected row;
 * noErrorMoreData exactly when the number of selected rows equals maxRows.
 */
#ifndef QELSELECT_H
#define QELSELECT_H

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "qel/strutil.h"
#include "qelplugin.h"

/* Stores text of known length as the variable's value: inline when shorter
 * than 4096 characters, else in a heap valueBuf the variable owns. Returns 1,
 * or -1 when the allocation fails (the value is then left empty). */
inline int qelSetValue(qelVariable_t *v, qelSyntax_t syntax, std::string_view text) {
    v->varSyntax = syntax;
    if (v->valueBuf) {
        std::free(v->valueBuf);
        v->valueBuf = nullptr;
    }
    const size_t len = text.size();
    if (len < QEL_VALUESTR_LEN) {
        v->valueStrLen = static_cast<int>(qelCopyMem(v->valueStr, sizeof v->valueStr, text.data(), len));
        return 1;
    }
    v->valueBuf = static_cast<char *>(std::malloc(len + 2));
    v->valueStr[0] = '\0';
    if (!v->valueBuf) {
        v->valueStrLen = 0;
        return -1;
    }
    std::memcpy(v->valueBuf, text.data(), len);
    v->valueBuf[len] = '\0';
    v->valueStrLen = static_cast<int>(len);
    return 1;
}

/* The same for a NUL-terminated text (null: empty). */
inline int qelSetValue(qelVariable_t *v, qelSyntax_t syntax, const char *text) {
    return qelSetValue(v, syntax, text ? std::string_view(text) : std::string_view());
}

/* printf-style form of qelSetValue. */
__attribute__((format(printf, 3, 4))) inline int qelSetValuef(qelVariable_t *v, qelSyntax_t syntax, const char *fmt,
                                                              ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return qelSetValue(v, syntax, "");
    if (static_cast<size_t>(n) < sizeof small)
        return qelSetValue(v, syntax, small);
    char *big = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
    if (!big)
        return -1;
    va_start(ap, fmt);
    std::vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    int r = qelSetValue(v, syntax, big);
    std::free(big);
    return r;
}

/* An integer value, written without a format string: table handlers set
 * tens of thousands of them per reply. */
inline int qelSetValueInt(qelVariable_t *v, qelSyntax_t syntax, long long value) {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
    *end = '\0';
    return qelSetValue(v, syntax, text);
}

/* The qelVar a request variable designates (set by the host), or null. */
inline const qelVar_t *qelColumnOf(const qelVariable_t *requested) {
    return static_cast<const qelVar_t *>(requested->entryPtr);
}

class QelSelect {
public:
    /* How a non-empty key that does not begin with '*' selects a row: the
     * row key equals it, or the row key contains it. */
    enum class KeyMatch { Equal, Contains };

    /* who names the handler in its messages ("varUdpTable"); columnWho, when
     * given, names it in the invalid-column message instead. */
    QelSelect(const char *who, const char *key, qelVariable_t *columns, qelPdu_t *out, KeyMatch match = KeyMatch::Equal,
              const char *columnWho = nullptr)
        : who_(who), columnWho_(columnWho ? columnWho : who), key_(key), columns_(columns), out_(out), match_(match) {
        if (valid()) {
            out_->numberVariables = 0;
            out_->varList = nullptr;
            out_->varListTail = nullptr;
            limit_ = out_->maxRows;
        }
    }

    bool valid() const { return key_ && columns_ && out_; }

    /* True when the request's key wants the row with this key. */
    bool selects(const char *rowKey) const {
        if (key_[0] == '\0' || key_[0] == '*')
            return true;
        if (!rowKey)
            return false;
        return match_ == KeyMatch::Contains ? std::strstr(rowKey, key_) != nullptr : std::strcmp(key_, rowKey) == 0;
    }
    bool keyEquals(const char *text) const { return text && std::strcmp(key_, text) == 0; }

    /*
     * Adds one selected row. fill(columnNumber, variable) sets the syntax and
     * value of one column and returns false for a column it does not know.
     * Returns false when the handler must stop and return status().
     */
    template <typename Fill>
    bool addRow(const char *rowKey, Fill fill) {
        return addRow(rowKey ? std::string_view(rowKey) : std::string_view(), fill);
    }
    /* The same for a key of known length (the key is measured once per row,
     * not once per column). */
    template <typename Fill>
    bool addRow(std::string_view rowKey, Fill fill) {
        if (limit_ == 0 || rows_ < limit_) {
            for (qelVariable_t *col = columns_; col; col = col->next) {
                auto *v = static_cast<qelVariable_t *>(std::malloc(sizeof(qelVariable_t)));
                if (!v) {
                    char what[160];
                    std::snprintf(what, sizeof what, "%s: malloc failed", who_);
                    std::perror(what);
                    out_->errorStatus = genError;
                    status_ = genError;
                    finishCount();
                    return false;
                }
                // Only the fields a reply variable uses are set: the value
                // buffer is written by fill, never read beyond its length.
                qelCopyField(v->varName.mibName, col->varName.mibName);
                qelCopyField(v->varName.objName, col->varName.objName);
                qelCopyField(v->varName.key, rowKey);
                v->varSyntax = col->varSyntax;
                v->valueStr[0] = '\0';
                v->valueStrLen = 0;
                v->valueBuf = nullptr;
                v->next = nullptr;
                v->entryPtr = col->entryPtr;
                const qelVar_t *def = qelColumnOf(col);
                if (!def || !fill(def->hint, v)) {
                    std::free(v->valueBuf);
                    std::free(v);
                    std::fprintf(stderr, "%s: invalid column\n", columnWho_);
                    out_->errorStatus = noSuchName;
                    out_->errorIndex = added_;
                    status_ = noSuchName;
                    finishCount();
                    return false;
                }
                // The host may write the binding out at once (a streamed
                // reply) rather than link it to out.
                if (qelReplyAppend(out_, v) != 1) {
                    out_->errorStatus = genError;
                    status_ = genError;
                    finishCount();
                    return false;
                }
                ++added_;
            }
        }
        ++rows_;
        return true;
    }

    /* Ends a successful walk: counts and status of the reply. */
    qelErrorStatus_t finish(const char *summaryName, int debug) {
        finishCount();
        out_->errorStatus = rows_ == limit_ ? noErrorMoreData : noError;
        if (debug)
            std::fprintf(stderr, "%s: %d rows, %d objects\n", summaryName, rows_, static_cast<int>(added_));
        return noError;
    }

    qelErrorStatus_t status() const { return status_; }
    int rows() const { return rows_; }
    unsigned added() const { return added_; }

private:
    void finishCount() { out_->numberVariables = added_; }

    const char *who_;
    const char *columnWho_;
    const char *key_;
    qelVariable_t *columns_;
    qelPdu_t *out_;
    KeyMatch match_ = KeyMatch::Equal;
    int limit_ = 0;
    int rows_ = 0;
    unsigned added_ = 0;
    qelErrorStatus_t status_ = noError;
};

#endif
