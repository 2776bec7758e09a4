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
// How long finish() waits for a reader that does not read (a terminal stopped with Ctrl-S, a
// pager on its first page).
constexpr int kFinishWaitMs = 2000;
// Writes what is queued, then stops the thread. Waits until every queued byte has been written
// or its stream dropped, for at most kFinishWaitMs: true when everything went. False when a
// write still blocks: the rest is dropped and the writing thread left where it is, and the
// process must then end without running its exit handlers (std::_Exit), which could wait on it.
bool finish();

} // namespace console
