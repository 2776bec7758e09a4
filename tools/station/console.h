#pragma once

#include <QString>

// Standard output and standard error of the station, written by a thread of their own, so that
// no other thread ever waits on the person's terminal or a pipe. A stream that can no longer be
// written (a pipe whose reader went away, a hung-up terminal) is dropped: the printing stops,
// the work goes on.
namespace console {

// Starts the writing thread; text given before start() is written by the caller itself.
void start();
// Queues text for standard output or standard error, as is (any thread).
void out(const QString &text);
void err(const QString &text);
// Whether standard output was dropped after a failed write.
bool outputClosed();
// Writes what is queued, then stops the thread. Blocks until every queued byte has been
// written or its stream dropped.
void finish();

} // namespace console
