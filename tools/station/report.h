#pragma once

#include "terminaljob.h"

#include <QList>
#include <QString>

// The summary at the end of a run: a table for the person, JSON for automation.
namespace report {

struct Run
{
    QString package; // the configuration folder read
    bool interrupted = false;
    int exitStatus = 0;
    QList<JobResult> terminals;
};

// Port, serial number, result, duration, bytes sent, bytes per second; one line per terminal.
QString table(const QList<JobResult> &terminals);
// Written whole or not at all; false with `error` (French) when the file cannot be written.
[[nodiscard]] bool writeJson(const QString &path, const Run &run, QString &error);

} // namespace report
