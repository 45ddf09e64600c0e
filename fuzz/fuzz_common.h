// Helpers shared by the fuzz targets.
#ifndef KESTROVA_FUZZ_COMMON_H
#define KESTROVA_FUZZ_COMMON_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace fuzz {

// A failed property stops the run the way a crash does. The message goes
// straight to descriptor 2: the stderr stream may have been silenced.
inline void check(bool ok, const char *target, const char *what) {
    if (!ok) {
        const char *parts[] = {target, ": ", what, "\n"};
        for (const char *p : parts)
            if (::write(2, p, std::strlen(p)) < 0)
                break;
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
