#pragma once

#include "terminaljob.h"

#include <QJsonObject>
#include <QList>
#include <QString>

// The summary at the end of a run: a table for the person, JSON for automation. The fields of
// one terminal are made in one place (terminalJson), which the JSON summary and the journal
// share.
namespace report {

// The package a run installs.
struct Package
{
    QString directory;           // the configuration folder read
    QString title;               // the operation's title: what the package maker called it
    QString verdict;             // why it can or cannot be installed (French)
    QString configurationSha256; // of configuration.xml as read; empty when unread
    bool valid = false;
};

struct Run
{
    Package package;
    bool developmentKeys = false; // this build holds the public development keys
    bool interrupted = false;
    int exitStatus = 0;
    QList<JobResult> terminals;
    QJsonObject publishing; // --publish: what the broker acknowledged; empty without it
};

// "1,2 Ko/s": the rate as the summary and the progress lines show it; "-" for none.
QString rate(double bytesPerSecond);
// Port, serial number, result, duration, bytes sent, bytes per second; one line per terminal.
QString table(const QList<JobResult> &terminals);
// How many ended in each way: "Terminaux : 2 mis à jour, 1 déjà à jour, 0 à vérifier, 1 en
// échec" (an interrupted one is in the last count).
QString counts(const QList<JobResult> &terminals);
// One terminal's fields: port, startPort, serialNumber, success, outcome, stage, cause,
// openFailure, activatedBatches, rebootAcknowledged, returned, verified, batchChecks,
// reinstall, applicationsBefore, applicationsAfter, result, message, start, end (ISO 8601 with
// the UTC offset; null when never started), durationSeconds, bytesSent, bytesPerSecond; then
// timings, downloads and report (figuresjson.h).
QJsonObject terminalJson(const JobResult &result);
// The package's fields: package (the folder), packageTitle, packageVerdict, packageValid,
// configurationSha256.
QJsonObject packageJson(const Package &package);
// Written whole or not at all, never through a symbolic link (see savedfile::write); false
// with `error` (French, with the cause) when the file cannot be written.
[[nodiscard]] bool writeJson(const QString &path, const Run &run, QString &error);
// Whether a file can be made at `path` (its folder exists and takes a new file; `path` is not
// a folder nor a symbolic link): false with `error` (French). Leaves nothing behind.
[[nodiscard]] bool checkWritable(const QString &path, QString &error);

} // namespace report
