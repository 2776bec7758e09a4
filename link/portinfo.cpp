#include "portinfo.h"

#include <QSerialPortInfo>

namespace {

// Qt Serial Port reads udev's properties as Latin-1, byte for byte; udev stores UTF-8. The
// bytes are taken back and read as UTF-8 when they are valid UTF-8; otherwise the Latin-1
// reading stays, which keeps every byte apart. Either way the result is a new string.
QString fromUdev(const QString &latin1)
{
    const QByteArray bytes = latin1.toLatin1();
    const QString utf8 = QString::fromUtf8(bytes);
    return utf8.toUtf8() == bytes ? utf8 : QString::fromLatin1(bytes);
}

// A copy of `text` in a string of its own.
QString own(const QString &text)
{
    return QString(text.constData(), text.size());
}

} // namespace

QString PortInfo::label() const
{
    return name + QStringLiteral(" - (") + description + QLatin1Char(')');
}

bool PortInfo::isTerminal() const
{
    const QString lower = manufacturer.toLower();
    return lower == QLatin1String("tarvenix") || lower == QLatin1String("quelmo");
}

PortInfo PortInfo::from(const QSerialPortInfo &info)
{
    PortInfo port;
    port.name = own(info.portName());
    port.location = own(info.systemLocation());
    port.description = fromUdev(info.description());
    port.manufacturer = fromUdev(info.manufacturer());
    port.serialNumber = fromUdev(info.serialNumber());
    port.hasUsbIds = info.hasVendorIdentifier() && info.hasProductIdentifier();
    port.vendorId = info.vendorIdentifier();
    port.productId = info.productIdentifier();
    return port;
}

QList<PortInfo> PortInfo::available()
{
    QList<PortInfo> ports;
    // Qt's objects end here, on the thread that listed them.
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.append(from(info));
    return ports;
}
