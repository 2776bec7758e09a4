#include "logcapture.h"

#include "system/logger.h"

void LogCapture::begin()
{
    std::lock_guard<std::mutex> lock(mutex);
    head.clear();
    middle.clear();
    tail.clear();
    gapProgress = gapOthers = totalProgress = totalOthers = 0;
    capturing = true;
}

void LogCapture::end()
{
    std::lock_guard<std::mutex> lock(mutex);
    capturing = false;
}

void LogCapture::add(const QString &message, const QDateTime &at, bool progress)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!capturing)
        return;
    QString entry = logger::formatEntry(message, at);
    entry.chop(1); // its line break
    if (head.size() < kHeadEntries) {
        head.append({entry});
        return;
    }
    tail.push_back({std::move(entry), progress});
    if (int(tail.size()) <= kTailEntries)
        return;
    // The oldest of the last entries leaves them: a progress entry is left out, another goes
    // between the start and the last entries.
    Pending leaving = std::move(tail.front());
    tail.pop_front();
    if (leaving.progress) {
        ++gapProgress;
        ++totalProgress;
        return;
    }
    middle.push_back({std::move(leaving.text), gapProgress, gapOthers});
    gapProgress = gapOthers = 0;
    if (int(middle.size()) > kMiddleEntries) {
        // The oldest goes; what was left out before it is now left out before the next one.
        const Entry dropped = middle.front();
        middle.pop_front();
        middle.front().progressOmitted += dropped.progressOmitted;
        middle.front().othersOmitted += dropped.othersOmitted + 1;
        ++totalOthers;
    }
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QList<Entry> all = head;
    for (const Entry &entry : middle)
        all.append(entry);
    for (const Pending &entry : tail)
        all.append({entry.text});
    // What left the last entries since the last one that went between: left out before them.
    if (!tail.empty()) {
        Entry &first = all[head.size() + int(middle.size())];
        first.progressOmitted = gapProgress;
        first.othersOmitted = gapOthers;
    }
    return all;
}

int LogCapture::omittedProgress() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalProgress;
}

int LogCapture::omittedOthers() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalOthers;
}
