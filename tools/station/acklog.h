#pragma once

#include <QSet>
#include <QString>

// The ids of the journal's records that the broker has acknowledged: one id a line in a file
// beside the journal (its name followed by ".acked"), appended and forced to the disk as each
// acknowledgement comes. The journal itself is never rewritten; the records it holds whose id
// is not here are those still to send (vardel-station --flush).
class AckLog
{
public:
    AckLog() = default;
    ~AckLog();
    AckLog(const AckLog &) = delete;
    AckLog &operator=(const AckLog &) = delete;

    static QString pathFor(const QString &journalPath);

    // Opens (or creates) the file to append to; false with `error` (French).
    [[nodiscard]] bool open(const QString &path, QString &error);
    bool isOpen() const { return fd >= 0; }
    // Appends the id and forces it to the disk; false (errno set) when it could not.
    [[nodiscard]] bool append(const QString &id);

    // The ids a file holds (whole lines only); empty when it does not exist.
    static QSet<QString> read(const QString &path);

private:
    int fd = -1;
    bool lineOpen = false; // the file ends in the middle of a line (a torn write)
};
