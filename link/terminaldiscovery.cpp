#include "serialport.h"

#include <QLoggingCategory>
#include <QSerialPortInfo>

namespace {

Q_LOGGING_CATEGORY(lcDiscovery, "vardel.discovery")

} // namespace

// The manufacturer, in lower case, must be one of the brand's two names, exactly.
bool SerialPort::isTerminal(const QSerialPortInfo &info)
{
    const QString manufacturer = info.manufacturer().toLower();
    return manufacturer == QLatin1String("tarvenix") || manufacturer == QLatin1String("quelmo");
}

std::optional<QSerialPortInfo>
SerialPort::terminalBySerial(const QList<QSerialPortInfo> &listing, const QString &serialNumber)
{
    if (serialNumber.isEmpty())
        return std::nullopt;
    std::optional<QSerialPortInfo> found;
    int carriers = 0;
    for (const QSerialPortInfo &info : listing) {
        if (info.serialNumber() != serialNumber)
            continue;
        ++carriers;
        if (isTerminal(info))
            found = info;
    }
    if (carriers != 1)
        return std::nullopt;
    return found;
}

bool SerialPort::detectTerminals()
{
    const auto available = QSerialPortInfo::availablePorts();
    QStringList found;
    for (const QSerialPortInfo &info : available) {
        if (isTerminal(info))
            found.append(labelFor(info));
        else
            qCDebug(lcDiscovery).noquote()
                << QStringLiteral("Port COM inconnu : ") + info.manufacturer().toLower() +
                       QStringLiteral(" - ") + info.description();
    }
    // Replaced in one step, so that a reader never sees a half-built list. The first terminal
    // found is the one to preselect.
    setFoundPorts(found, 0);
    return !available.isEmpty();
}
