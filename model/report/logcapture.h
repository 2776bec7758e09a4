#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <deque>
#include <mutex>

// The log entries of one installation, kept for its report: from its start to the end of its
// report, stamped as the log file stamps them. A long download logs every block's progress
// (about 8,600 entries a megabyte), so not all of them can be kept: the report keeps
// - the first kHeadEntries entries: the start of the installation, from its initialisation
//   to the application list;
// - the last kTailEntries: the end of the download, the activation, the reboot, the result;
// - between them, every entry that is not a progress entry, up to kMiddleEntries (the oldest
//   go first beyond);
// and counts, at each place, the entries it left out there. From any thread.
class LogCapture
{
public:
    static constexpr int kHeadEntries = 200;
    static constexpr int kTailEntries = 4000;
    static constexpr int kMiddleEntries = 800;

    // An entry kept, with how many were left out just before it.
    struct Entry
    {
        QString text; // "== dd/MM/yyyy hh:mm:ss == message", without its line break
        int progressOmitted = 0;
        int othersOmitted = 0;
    };

    void begin(); // forgets the last installation's entries and keeps those that come
    void end();   // keeps no more
    // `progress`: the entry only says how far a bar has gone ("Module : ... - 37").
    void add(const QString &message, const QDateTime &at, bool progress);

    QList<Entry> entries() const;
    // How many entries were left out in all.
    int omittedProgress() const;
    int omittedOthers() const;

private:
    struct Pending
    {
        QString text;
        bool progress;
    };

    mutable std::mutex mutex; // guards what follows
    bool capturing = false;
    QList<Entry> head;
    std::deque<Entry> middle;
    std::deque<Pending> tail;
    int gapProgress = 0; // left out since the last entry that went to the middle
    int gapOthers = 0;
    int totalProgress = 0;
    int totalOthers = 0;
};
