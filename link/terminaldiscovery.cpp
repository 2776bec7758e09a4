#include "serialport.h"

#include <QLoggingCategory>
#include <QSerialPortInfo>

namespace {

Q_LOGGING_CATEGORY(lcDiscovery, "vardel.discovery")

// Manufacturers, in lower case, under which the system lists a terminal of the brand.
bool isTerminalManufacturer(const QString &manufacturer)
{
    return manufacturer == QLatin1String("tarvenix") || manufacturer == QLatin1String("quelmo");
}

} // namespace

bool SerialPort::detectTerminals()
{
    const auto available = QSerialPortInfo::availablePorts();
    QStringList found;
    for (const QSerialPortInfo &info : available) {
        const QString manufacturer = info.manufacturer().toLower();
        if (isTerminalManufacturer(manufacturer))
            found.append(labelFor(info));
        else
            qCDebug(lcDiscovery).noquote() << QStringLiteral("Port COM inconnu : ") + manufacturer +
                                                  QStringLiteral(" - ") + info.description();
    }
    // Replaced in one step, so that a reader never sees a half-built list. The first terminal
    // found is the one to preselect.
    setFoundPorts(found, 0);
    return !available.isEmpty();
}
