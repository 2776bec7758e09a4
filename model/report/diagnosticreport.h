#pragma once

#include "frametrace.h"
#include "logcapture.h"
#include "model/installation/installresult.h"
#include "replyrecording.h"
#include "systemsurvey.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>

class Configuration;

// A serial port as the system listed it when the report was made.
struct PortFacts
{
    QString name;        // "ttyACM0"
    QString description; // "Terminal USB"
    QString manufacturer;
    QString serialNumber;
    QString location; // "/dev/ttyACM0"
    bool hasIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
};

// Everything a report for support holds, gathered by the Model.
struct ReportContent
{
    QDateTime at;
    QString program; // the executable's path
    bool developmentKeys = false;
    SystemSurvey system;
    std::shared_ptr<const Configuration> package; // null: none loaded
    QList<PortFacts> ports;

    // The last installation; null when none has ended yet.
    const InstallResult *result = nullptr;
    bool recordRead = false; // the terminal's hardware record was read, whole and checked
    std::array<quint8, 126> record{};
    QByteArray recordReply; // the reply to the record's request, as it came; empty: none
    bool applicationsRead = false; // the whole application list was read
    QStringList applications;      // as read, whole or not
    QList<LogCapture::Entry> logEntries;
    int omittedProgress = 0; // entries left out in all
    int omittedOthers = 0;
    FrameTrace trace;
    ReplyRecording replies;
};

// The report for support: sections a person reads, in French, and at the end the terminal's
// replies for vardel-sim --replay. It holds no key and no byte of a package file's content:
// of the package only its files' sizes and digests, of the data blocks only their headers.
// What devices reported (the ports' names, serial numbers and descriptions, the terminal's
// applications) is written with its control characters escaped (printable.h).
namespace diagnosticreport {

QString text(const ReportContent &content);

// The report's file name: "yyyyMMdd_hhmmss_rapport.txt", with the tag before "rapport" when
// there is one ("yyyyMMdd_hhmmss_ttyACM1_rapport.txt"); a second report of the same second
// gets "-2" after the seconds, and so on.
QString fileName(const QDateTime &at, const QString &tag, int rank = 1);
// Writes `text` (UTF-8) into `folder` under the first of those names that no file has yet,
// whole or not at all; false with `error` (French). `path` receives the file's path.
[[nodiscard]] bool write(const QString &folder, const QDateTime &at, const QString &tag,
                         const QString &text, QString &path, QString &error);

} // namespace diagnosticreport
