// The report for support: what the Model knows of the last installation, of the package, the
// ports and the PC, written beside the log.
#include "model.h"

#include "crypto/devkeys.h"
#include "link/portinfo.h"
#include "model/report/diagnosticreport.h"
#include "system/wallclock.h"

#include <QCoreApplication>
#include <QDir>

QString Model::writeReport()
{
    return writeReportAbout(lastResult ? &*lastResult : nullptr);
}

QString Model::writeReportAbout(const InstallResult *result)
{
    ReportContent content;
    content.at = wallclock::now();
    content.program = QCoreApplication::applicationFilePath();
    content.developmentKeys = devkeys::inUse();
    content.system = SystemSurvey::take();
    content.package = package();
    const QList<PortInfo> available = PortInfo::available();
    for (const PortInfo &info : available)
        content.ports.append({info.name, info.description, info.manufacturer, info.serialNumber,
                              info.location, info.hasUsbIds, info.vendorId, info.productId});
    content.result = result;
    content.recordRead = terminalRecordRead;
    content.record = terminalRecord;
    content.recordReply = terminalRecordReply;
    content.applicationsRead = applicationsRead;
    content.applications = applications;
    content.logEntries = capture.entries();
    content.omittedProgress = capture.omittedProgress();
    content.omittedOthers = capture.omittedOthers();
    content.trace = recorder.trace();
    content.replies = recorder.replies();

    QString path;
    QString error;
    // Written as carefully as the log, and like it a report that cannot be written changes
    // nothing else: it is said in the log, and the program goes on.
    if (!diagnosticreport::write(logFolder, content.at, reportTag, diagnosticreport::text(content),
                                 path, error)) {
        log(QStringLiteral("Le rapport de diagnostic n'a pas pu être enregistré (") +
            QDir::toNativeSeparators(path) + QStringLiteral(") : ") + error);
        return QString();
    }
    log(QStringLiteral("Rapport de diagnostic enregistré : ") + QDir::toNativeSeparators(path));
    return path;
}
