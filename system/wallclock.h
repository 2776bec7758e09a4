#pragma once

#include <QDateTime>
#include <QString>

// The local time, as every thread of the program reads it. The C library converts to local
// time under a lock of its own, which ThreadSanitizer cannot see, and frees and reads the time
// zone's data under it: conversions made at once by several threads (the station's jobs log
// together) were reported as races. Every conversion of ours goes through here, one at a time
// under a lock the detector sees.
namespace wallclock {

// Now, in local time (shifted by the offset below).
QDateTime now();
// `at` with its offset from UTC, in ISO 8601 ("2026-12-07T14:03:05.120+01:00"), with or
// without milliseconds.
QString iso(const QDateTime &at, bool milliseconds = true);

// Shifts now() by `ms`: a test's way to stand a minute before midnight. 0 by default.
void setOffsetMs(qint64 ms);

} // namespace wallclock
