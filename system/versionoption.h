#pragma once

#include "buildinfo.h"

#include <QtGlobal>

#include <cstdio>
#include <cstring>

// `PROGRAM --version`, as its first argument: the version and build on the standard output,
// before anything else is set up (the window's program needs no display for it). True when it
// was asked for; the program then ends with status 0, or 1 if the output could not be written.
namespace versionoption {

inline bool asked(int argc, char *argv[])
{
    return argc >= 2 && std::strcmp(argv[1], "--version") == 0;
}

inline int print(const char *program)
{
    std::printf("%s %s (%s)\n", program, qUtf8Printable(buildinfo::version()),
                qUtf8Printable(buildinfo::build()));
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

} // namespace versionoption
