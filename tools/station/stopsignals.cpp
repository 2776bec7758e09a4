#include "stopsignals.h"

#include <QString>

#include <cerrno>
#include <ctime>
#include <pthread.h>

namespace {

sigset_t stopSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, signal);
    return set;
}

} // namespace

QString StopSignals::source() const
{
    switch (lastSignal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGQUIT:
        return QStringLiteral("SIGQUIT");
    default:
        return QStringLiteral("signal %1").arg(lastSignal);
    }
}

void StopSignals::install()
{
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

StopSignals::Event StopSignals::wait(int timeoutMs)
{
    const sigset_t set = stopSet();
    const timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
    int signal = -1;
    do
        signal = sigtimedwait(&set, nullptr, &timeout);
    while (signal < 0 && errno == EINTR);
    if (signal <= 0)
        return Event::None;
    lastSignal = signal;
    if (count == 0) {
        count = 1;
        sinceFirst.start();
        return Event::First;
    }
    if (count == 1 && sinceFirst.elapsed() < kRepeatGapMs)
        return Event::None;
    ++count;
    return count == 2 ? Event::Second : Event::None;
}
