#pragma once

#include <QString>

// The program's version and build, as the About dialog and the reports give them.
namespace buildinfo {

inline QString version()
{
    return QStringLiteral("2.2.1");
}

inline QString build()
{
    return QStringLiteral("20200602");
}

} // namespace buildinfo
