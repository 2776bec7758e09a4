#include "stoprequests.h"

#include <chrono>

void StopFlag::request()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++requested;
    }
    changed.notify_all();
}

StopRequests::Event StopFlag::wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    // Requests after the second change nothing: the wait then sleeps its whole time.
    const auto pending = [this] { return requested > taken && taken < 2; };
    if (!changed.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                          pending))
        return Event::None;
    ++taken;
    return taken == 1 ? Event::First : Event::Second;
}

bool StopFlag::stopped() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return taken > 0;
}
