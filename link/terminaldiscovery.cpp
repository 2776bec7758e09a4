#include "serialport.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcDiscovery, "vardel.discovery")

} // namespace

std::optional<PortInfo> SerialPort::terminalBySerial(const QList<PortInfo> &listing,
                                                     const QString &serialNumber)
{
    if (serialNumber.isEmpty())
        return std::nullopt;
    std::optional<PortInfo> found;
    int carriers = 0;
    for (const PortInfo &info : listing) {
        if (info.serialNumber != serialNumber)
            continue;
        ++carriers;
        if (info.isTerminal())
            found = info;
    }
    if (carriers != 1)
        return std::nullopt;
    return found;
}

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
