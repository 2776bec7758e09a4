#pragma once

#include <functional>

// Work done off the thread that asks for it (the window's package loading, terminal search and
// installation), on Qt's global thread pool.
//
// The pool hands a task to its thread, and reports its end to QThreadPool::waitForDone(), under
// its own lock, a futex that ThreadSanitizer does not see. Without a lock it can see, every
// read in a task of what the starting thread had written looked like a race (the Model's log
// prefix, the package pointer, the task's own copy of its arguments), and so did the
// destruction of what a task had used once the pool was idle; the only suppression that hid
// those named the pool's frames and hid every race inside a task as well. So each task also
// passes through a std::mutex on its way in and on its way out: the detector then sees the
// order that the pool really keeps, and a race between a task and anything else stays visible.
namespace workers {

// Queues `task` on the global pool. What the calling thread wrote before this call is seen
// by the task.
void start(std::function<void()> task);

// Returns once the global pool has no task left, queued or running (as
// QThreadPool::waitForDone()); what every task started here wrote is then seen by the caller.
void waitForAll();

} // namespace workers
