#include "logcapture.h"

#include "app/logger.h"

void LogCapture::begin()
{
    std::lock_guard<std::mutex> lock(mutex);
    kept.clear();
    dropped = 0;
    capturing = true;
}

void LogCapture::end()
{
    std::lock_guard<std::mutex> lock(mutex);
    capturing = false;
}

void LogCapture::add(const QString &message)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!capturing)
        return;
    QString entry = logger::formatEntry(message);
    entry.chop(1); // its line break
    kept.push_back(std::move(entry));
    if (int(kept.size()) > kMaxEntries) {
        kept.pop_front();
        ++dropped;
    }
}

QStringList LogCapture::entries() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return QStringList(kept.begin(), kept.end());
}

int LogCapture::omitted() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return dropped;
}
