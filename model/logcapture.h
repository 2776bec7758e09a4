#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <mutex>

// The log entries of one installation, kept for its report: from its start to the end of its
// report, stamped as the log file stamps them. The oldest go beyond kMaxEntries (a long
// download logs every block's progress), and are counted. From any thread.
class LogCapture
{
public:
    static constexpr int kMaxEntries = 5000;

    void begin(); // forgets the last installation's entries and keeps those that come
    void end();   // keeps no more
    void add(const QString &message);

    QStringList entries() const;
    int omitted() const;

private:
    mutable std::mutex mutex; // guards what follows
    std::deque<QString> kept;
    bool capturing = false;
    int dropped = 0;
};
