#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The journal of a station: one JSON line per finished terminal, appended to a file and forced
// to the disk before the next one, so that a power cut loses nothing already written. Each
// record carries a unique id and the host's name, so that whoever reads or forwards the
// records (a fleet's server) can tell them apart and drop a duplicate.
//
// A line torn by a power cut is left as it is, and the next record starts on a line of its
// own: a reader takes the whole lines that parse.
class Journal
{
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Opens (or creates) the file to append to; false with `error` (French).
    [[nodiscard]] bool open(const QString &path, QString &error);
    bool isOpen() const { return fd >= 0; }
    QString path() const { return fileName; }

    // `fields` with a fresh "id" (a UUID) and this host's name ("host") added: the record as
    // the journal writes it.
    static QJsonObject record(QJsonObject fields);
    // Appends the record as one line and forces it to the disk before returning; false with
    // `error` (French) when it could not.
    [[nodiscard]] bool append(const QJsonObject &record, QString &error);

    // The records of a journal file, in order: its whole lines that are JSON objects with an
    // "id". False with `error` (French) when the file cannot be read.
    [[nodiscard]] static bool read(const QString &path, QList<QJsonObject> &records,
                                   QString &error);

private:
    int fd = -1;
    QString fileName;
    bool lineOpen = false; // the file ends in the middle of a line
};
