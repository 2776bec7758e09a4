// Opening the terminal's port for an installation, and what the log and the operator learn when
// it will not open.
#include "model.h"

#include "link/portdiagnosis.h"
#include "link/serialport.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

constexpr int kOpenRetryStepMs = 100;

// The system name in a port label (PortInfo::label): what comes before " - (".
QString portNameOf(const QString &label)
{
    const int end = label.indexOf(QStringLiteral(" - ("));
    return end < 0 ? label : label.left(end);
}

QString holderText(const PortDiagnosis &why)
{
    return why.holderName.isEmpty() ? QStringLiteral("un autre programme") : why.holderName;
}

// The log line, and the sentence the box adds (empty when the cause is unknown).
struct OpenFailure
{
    QString logLine;
    QString remedy;
};

OpenFailure explain(const PortDiagnosis &why)
{
    const QString prefix = QStringLiteral("Cause de l'échec d'ouverture : ");
    switch (why.cause) {
    case PortDiagnosis::Cause::NoPermission:
        return {prefix + QStringLiteral("l'utilisateur %1 n'a pas le droit de lire et d'écrire "
                                        "%2 (groupe du port : %3)")
                             .arg(why.user, why.device, why.group),
                why.groupMayUse
                    ? QStringLiteral("Ajoutez l'utilisateur au groupe %1 puis reconnectez-vous.")
                          .arg(why.group)
                    : QStringLiteral("Installez le paquet vardel, qui donne accès aux terminaux "
                                     "à l'utilisateur connecté, puis rebranchez le terminal.")};
    case PortDiagnosis::Cause::Busy: {
        QString holder = holderText(why);
        if (why.holderPid > 0)
            holder += QStringLiteral(" (processus %1)").arg(why.holderPid);
        const QString logLine =
            prefix + why.device +
            (why.holderGuessed ? QStringLiteral(" est occupé, probablement par ")
                               : QStringLiteral(" est occupé par ")) +
            holder;
        if (why.holderName == QLatin1String("ModemManager"))
            return {logLine,
                    QStringLiteral("Le port est utilisé par ModemManager : attendez quelques "
                                   "secondes puis réessayez, ou installez le paquet vardel "
                                   "pour qu'il ne s'en serve plus.")};
        if (why.holderName.isEmpty())
            return {logLine, QStringLiteral("Le port est utilisé par un autre programme : "
                                            "fermez-le puis réessayez.")};
        return {logLine, QStringLiteral("Le port est utilisé par le programme %1 : fermez-le "
                                        "puis réessayez.")
                             .arg(why.holderName)};
    }
    case PortDiagnosis::Cause::Gone:
        return {prefix + why.device + QStringLiteral(" n'existe plus, le terminal a été débranché"),
                QStringLiteral("Le terminal a été débranché : rebranchez-le, attendez qu'il soit "
                               "détecté puis réessayez.")};
    case PortDiagnosis::Cause::Unknown:
        break;
    }
    return {prefix + QStringLiteral("inconnue (") + why.device + QLatin1Char(')'), QString()};
}

} // namespace

bool Model::openForInstallation(const QString &portLabel, InstallResult &result)
{
    QElapsedTimer clock;
    clock.start();
    // The terminal is looked for at each try: it may be coming back under another name.
    QString label = currentLabel(portLabel);
    while (!serialPort->open(label)) {
        if (clock.elapsed() >= timing.openRetryMs) {
            const PortDiagnosis why = PortDiagnosis::of(portNameOf(label));
            const OpenFailure explained = explain(why);
            failed(FailureCause::PortUnavailable, result);
            result.openFailure = why.cause;
            result.causeLine = explained.logLine;
            result.advice = explained.remedy;
            return false;
        }
        QThread::msleep(kOpenRetryStepMs);
        label = currentLabel(portLabel);
    }
    return true;
}
