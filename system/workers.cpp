#include "workers.h"

#include <QThreadPool>

#include <deque>
#include <mutex>

namespace {

// Guards `waiting`; its lock and unlock are the hand-off the race detector follows.
std::mutex gMutex;
std::deque<std::function<void()>> gWaiting; // one entry per runnable queued on the pool

// Each runnable of the pool runs whichever task waits first: every one queued runs once.
void runNext()
{
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        task = std::move(gWaiting.front());
        gWaiting.pop_front();
    }
    task();
    task = nullptr; // its captures are released before the end is handed back
    std::lock_guard<std::mutex> lock(gMutex);
}

} // namespace

namespace workers {

void start(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gWaiting.push_back(std::move(task));
    }
    // No capture: nothing of ours crosses to the pool's thread outside the lock.
    QThreadPool::globalInstance()->start(runNext);
}

void waitForAll()
{
    QThreadPool::globalInstance()->waitForDone();
    // Every task took and released the lock last thing: taking it here orders what they did
    // before what follows.
    std::lock_guard<std::mutex> lock(gMutex);
}

} // namespace workers
