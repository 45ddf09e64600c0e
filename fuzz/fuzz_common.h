// Helpers shared by the fuzz targets.
#ifndef KESTROVA_FUZZ_COMMON_H
#define KESTROVA_FUZZ_COMMON_H

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// A failed property stops the run the way a crash does.
inline void check(bool ok, const char *target, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", target, what);
        std::fflush(stderr);
        std::abort();
    }
}

// The codec reports every malformed message on stderr and some on stdout;
// at fuzzing rates that is most of the run time. The streams are pointed at
// /dev/null unless KESTROVA_FUZZ_VERBOSE is set. libFuzzer keeps the stream
// it took at start-up and the sanitizers write to the descriptor, so their
// reports still appear.
inline void quietCodec() {
    if (std::getenv("KESTROVA_FUZZ_VERBOSE"))
        return;
    if (FILE *null = std::fopen("/dev/null", "w")) {
        stderr = null;
        stdout = null;
    }
}

} // namespace fuzz

#endif
