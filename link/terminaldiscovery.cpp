#include "serialport.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcDiscovery, "vardel.discovery")

} // namespace

bool SerialPort::detectTerminals()
{
    const QList<PortInfo> available = PortInfo::available();
    QStringList found;
    for (const PortInfo &info : available) {
        if (info.isTerminal())
            found.append(info.label());
        else
            qCDebug(lcDiscovery).noquote()
                << QStringLiteral("Port COM inconnu : ") + info.manufacturer.toLower() +
                       QStringLiteral(" - ") + info.description;
    }
    // Replaced in one step, so that a reader never sees a half-built list. The first terminal
    // found is the one to preselect.
    setFoundPorts(found, 0);
    return !available.isEmpty();
}
