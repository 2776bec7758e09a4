#pragma once

#include <cstdio>
#include <cstring>

// The two ways a benchmark runs: the full run, whose figures are the ones to read, and the short
// run (--short) that the test suite starts: small sizes and few repetitions, the same checks,
// the same exit status when what it measures breaks.
namespace bench {

// Reads the command line before anything else does; false, with a message on stderr, when it
// holds anything but --short (the caller exits with status 2).
inline bool parseMode(int argc, char **argv, bool &shortRun)
{
    shortRun = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0) {
            shortRun = true;
        } else {
            std::fprintf(stderr, "%s: unknown argument %s\nusage: %s [--short]\n", argv[0], argv[i],
                         argv[0]);
            return false;
        }
    }
    return true;
}

} // namespace bench
