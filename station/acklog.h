#pragma once

#include "appendfile.h"

#include <QSet>
#include <QString>

// The ids of the journal's records that the broker has acknowledged: one id a line in a file
// beside the journal (its name followed by ".acked"), appended and forced to the disk as each
// acknowledgement comes (an AppendFile, as the journal). The journal itself is never rewritten;
// the records it holds whose id is not here are those still to send (vardel-station --flush).
class AckLog
{
public:
    static QString pathFor(const QString &journalPath);

    // Opens (or creates) the file to append to; false with `error` (French).
    [[nodiscard]] bool open(const QString &path, QString &error);
    bool isOpen() const { return file.isOpen(); }
    // Appends the id and forces it to the disk; false (errno set) when it could not.
    [[nodiscard]] bool append(const QString &id);

    // The ids a file holds (whole lines only); empty when it does not exist.
    static QSet<QString> read(const QString &path);

private:
    AppendFile file;
};
