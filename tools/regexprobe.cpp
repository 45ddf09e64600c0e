// regexprobe: runs a regular expression over a log file line by line, the
// way the plug-in's log-file rules do, and prints every match with its
// captured substrings.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "qel/version.h"

namespace {

[[gnu::used]] const char versionStr[] = "TarnVersion 1.0";

// Same shape as the plug-in's matching: ten capture pairs, line-sized buffers.
constexpr int kCapturePairs = 10;
constexpr size_t kLineBuf = 4096;
constexpr size_t kMaxPiece = kLineBuf - 2;
constexpr size_t kSubstringBuf = 4096;

struct CodeFree {
    void operator()(pcre2_code *c) const { pcre2_code_free(c); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data *m) const { pcre2_match_data_free(m); }
};
struct FileClose {
    void operator()(FILE *f) const { std::fclose(f); }
};

void usage(FILE *out, const char *prog) {
    std::fprintf(out, "Usage: %s filename regex\n       %s --help | --version\n\n", prog, prog);
    std::fprintf(out,
                 "This program uses the same PCRE library, that Kestrova uses, and will allow you to test "
                 "regular expressions against logfiles\n");
    std::fprintf(out,
                 "\nExit status: 0 the file was scanned; 2 usage error or an expression that does not\n"
                 "compile; 255 the file cannot be read.\n");
}

// Reads one line, newline included, or the next kMaxPiece characters of a
// longer one. Keeps the length so that NUL bytes in a line are not lost.
// Returns false at end of file with nothing read.
bool readPiece(FILE *fp, char *buf, size_t &len) {
    len = 0;
    int c;
    while (len < kMaxPiece && (c = std::getc(fp)) != EOF) {
        buf[len++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[len] = '\0';
    return len > 0;
}

} // namespace

int scan_file(const char *filename, const char *re) {
    if (!filename || !re) {
        std::fprintf(stderr, "scan_file: invalid args\n");
        return -1;
    }

    int errcode = 0;
    PCRE2_SIZE erroffset = 0;
    std::unique_ptr<pcre2_code, CodeFree> code(
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(re), PCRE2_ZERO_TERMINATED, 0, &errcode, &erroffset, nullptr));
    if (!code) {
        PCRE2_UCHAR msg[256];
        if (pcre2_get_error_message(errcode, msg, sizeof msg) < 0)
            std::snprintf(reinterpret_cast<char *>(msg), sizeof msg, "error %d", errcode);
        std::fprintf(stderr, "pcre_compile failed '%s'\n", reinterpret_cast<const char *>(msg));
        return 2;
    }
    std::unique_ptr<pcre2_match_data, MatchDataFree> md(pcre2_match_data_create(kCapturePairs, nullptr));
    if (!md) {
        std::fprintf(stderr, "scan_file: out of memory\n");
        return -1;
    }

    std::unique_ptr<FILE, FileClose> fp(std::fopen(filename, "r"));
    if (!fp) {
        std::perror("fopen file failed");
        return -1;
    }

    char line[kLineBuf];
    size_t len = 0;
    int lines = 0, matches = 0;
    while (readPiece(fp.get(), line, len)) {
        ++lines;
        int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(line), len, 0, 0, md.get(), nullptr);
        if (rc == PCRE2_ERROR_NOMATCH)
            continue;
        if (rc < 0) {
            // A failed match (resource limit, bad UTF-8 under (*UTF)) has no
            // offsets to show; it is not a match.
            PCRE2_UCHAR msg[256];
            if (pcre2_get_error_message(rc, msg, sizeof msg) < 0)
                msg[0] = 0;
            std::fprintf(stderr, "scan_file: match failed on line %d, %d '%s'\n", lines, rc,
                         reinterpret_cast<const char *>(msg));
            continue;
        }
        ++matches;
        // rc 0: more groups were set than the pairs hold; the whole match is
        // still known, the groups are not shown.
        const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md.get());
        std::printf("\nLine %d matches %d '", lines, rc);
        std::fwrite(line, 1, len, stdout);
        std::printf("'\n");
        std::printf("Match is substring %d:%d\n", static_cast<int>(ov[0]), static_cast<int>(ov[1]));
        for (int i = 1; i < rc; ++i) {
            PCRE2_UCHAR sub[kSubstringBuf];
            PCRE2_SIZE sublen = sizeof sub;
            if (pcre2_substring_copy_bynumber(md.get(), static_cast<uint32_t>(i), sub, &sublen) < 0) {
                sub[0] = 0; // a group that took no part in the match
                sublen = 0;
            }
            std::printf("Substring %d is '", i);
            std::fwrite(sub, 1, sublen, stdout);
            std::printf("'\n");
        }
    }
    fp.reset();
    std::printf("read %d lines, %d matches\n", lines, matches);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage(stdout, argv[0]);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return qel::printVersion("regexprobe");
    if (argc != 3) {
        std::fprintf(stderr, "regexprobe: expected a file name and an expression, not %d argument%s\n", argc - 1,
                     argc == 2 ? "" : "s");
        usage(stderr, argc > 0 ? argv[0] : "regexprobe");
        return 2;
    }
    struct stat st;
    if (stat(argv[1], &st) != 0) {
        std::fprintf(stderr, "failed to stat %s, %d\n", argv[1], errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file\n", argv[1]);
        return -1;
    }
    // 0 scanned, 2 a bad expression, 255 the file could not be read.
    return scan_file(argv[1], argv[2]);
}
