#pragma once

#include <QList>
#include <QString>

enum class InstallStage; // installresult.h

// Where the time of an installation went: every stage as long as it lasted, and what each
// download did on the line. Measured by StageMeter, carried by InstallResult.

// One stage, once: a stage that runs again (each batch's session, each file, each download
// attempt) has an entry each time.
struct StageTiming
{
    InstallStage stage;
    int batch = 0;      // from 1; 0 before the first
    int file = 0;       // from 1 within the batch, in the file stages; 0 elsewhere
    QString fileName;   // as advertised, in the file stages
    qint64 startMs = 0; // since the installation began
    qint64 durationMs = 0;
};

// One download attempt of one file: from its start block to the terminal's final
// acknowledgement, or to the reply that ended it.
struct DownloadFigures
{
    // The line's limit: 9600 baud, ten bits a byte (start, eight data bits, stop).
    static constexpr int kLineBytesPerSecond = 960;

    int batch = 0; // from 1
    int file = 0;  // from 1 within the batch
    QString fileName;
    int attempt = 1;       // of this file, from 1
    quint32 length = 0;    // the file's plain length
    quint32 bytes = 0;     // plain bytes the terminal acknowledged
    int blocks = 0;        // data blocks acknowledged
    int resends = 0;       // blocks sent again after an ACK_NOK
    int damaged = 0;       // damaged replies, or replies that answer something else
    int timeouts = 0;      // replies that did not come (whole) in time
    qint64 durationMs = 0;
    bool complete = false; // the terminal confirmed the whole file

    // Acknowledged bytes per second of the download, and that rate as a share of the line's
    // limit (1 = the whole line).
    double bytesPerSecond() const;
    double lineShare() const;
};

struct InstallFigures
{
    QList<StageTiming> stages; // in the order they ran
    QList<DownloadFigures> downloads;
    qint64 totalMs = 0;

    // The time spent in `stage`, every time it ran.
    qint64 stageMs(InstallStage stage) const;
};

namespace figures {

// The log entry of the durations: every stage that ran, its times added up, then the total.
QString durationsLine(const InstallFigures &figures);
// The log entry of one download: its bytes, duration, rate and share of the line, and what
// the line did (blocks, resends, damaged replies, time-outs).
QString downloadLine(const DownloadFigures &download);

} // namespace figures
