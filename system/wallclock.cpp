#include "wallclock.h"

#include <atomic>
#include <mutex>

namespace wallclock {

namespace {

std::mutex &conversions()
{
    static std::mutex mutex;
    return mutex;
}

std::atomic<qint64> offsetMs{0};

} // namespace

QDateTime now()
{
    std::lock_guard<std::mutex> lock(conversions());
    const qint64 offset = offsetMs.load();
    const QDateTime local = QDateTime::currentDateTime();
    return offset == 0 ? local : local.addMSecs(offset);
}

QString iso(const QDateTime &at, bool milliseconds)
{
    if (!at.isValid())
        return QString();
    std::lock_guard<std::mutex> lock(conversions());
    return at.toOffsetFromUtc(at.offsetFromUtc())
        .toString(milliseconds ? Qt::ISODateWithMs : Qt::ISODate);
}

void setOffsetMs(qint64 ms)
{
    offsetMs = ms;
}

} // namespace wallclock
