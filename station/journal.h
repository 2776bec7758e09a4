#pragma once

#include "appendfile.h"

#include <QJsonObject>
#include <QList>
#include <QString>

// The journal of a station: one JSON line per finished terminal, appended to a file and forced
// to the disk before the next one (an AppendFile), so that a power cut loses nothing already
// written. Each record carries a unique id, the host's name and the station's id, so that
// whoever reads or forwards the records (a fleet's server) can tell them apart and drop a
// duplicate.
//
// A line torn by a power cut is left as it is, and the next record starts on a line of its
// own: a reader takes the whole lines that parse.
class Journal
{
public:
    // Opens (or creates) the file to append to; false with `error` (French).
    [[nodiscard]] bool open(const QString &path, QString &error);
    bool isOpen() const { return file.isOpen(); }
    QString path() const { return file.path(); }

    // `fields` with a fresh "id" (a UUID), this host's name ("host") and the station's id
    // ("station") added: the record as the journal writes it.
    static QJsonObject record(QJsonObject fields, const QString &stationId);
    // Appends the record as one line and forces it to the disk before returning; false with
    // `error` (French) when it could not.
    [[nodiscard]] bool append(const QJsonObject &record, QString &error);

    // The records of a journal file, in order: its whole lines that are JSON objects with an
    // "id". False with `error` (French) when the file cannot be read.
    [[nodiscard]] static bool read(const QString &path, QList<QJsonObject> &records,
                                   QString &error);

private:
    AppendFile file;
};
