#include "portinfo.h"

#include <QSerialPortInfo>

#ifdef Q_OS_LINUX
#include <libudev.h>
#endif

namespace {

// Qt Serial Port reads udev's properties as Latin-1, byte for byte; udev stores UTF-8. The
// bytes are taken back and read as UTF-8 when they are valid UTF-8; otherwise the Latin-1
// reading stays, which keeps every byte apart. Either way the result is a new string.
QString fromUdev(const QString &latin1, bool *isUtf8 = nullptr)
{
    const QByteArray bytes = latin1.toLatin1();
    const QString utf8 = QString::fromUtf8(bytes);
    const bool valid = utf8.toUtf8() == bytes;
    if (isUtf8)
        *isUtf8 = valid;
    return valid ? utf8 : QString::fromLatin1(bytes);
}

// A copy of `text` in a string of its own.
QString own(const QString &text)
{
    return QString(text.constData(), text.size());
}

// Text that can name something: not blank, and no control character (C0, DEL, C1).
bool isPlainText(const QString &text)
{
    if (text.trimmed().isEmpty())
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            return false;
    }
    return true;
}

#ifdef Q_OS_LINUX
// The USB device above the tty `name`, by its sysname ("1-2"): its place in the USB tree.
// Looked up in udev's database, as Qt Serial Port looks up the rest (and as umockdev's
// testbed serves it to the tests).
QString usbSocketOf(udev *context, const QString &name)
{
    if (!context)
        return QString();
    udev_device *tty =
        udev_device_new_from_subsystem_sysname(context, "tty", name.toLocal8Bit().constData());
    if (!tty)
        return QString();
    QString socket;
    // The parent belongs to the child: not unreferenced on its own.
    if (udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device"))
        socket = QString::fromUtf8(udev_device_get_sysname(usb));
    udev_device_unref(tty);
    return socket;
}
#endif

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
    bool utf8 = false;
    port.serialNumber = fromUdev(info.serialNumber(), &utf8);
    port.serialNumberIsText = utf8 && isPlainText(port.serialNumber);
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
#ifdef Q_OS_LINUX
    udev *context = udev_new();
    for (PortInfo &port : ports)
        port.usbSocket = usbSocketOf(context, port.name);
    if (context)
        udev_unref(context);
#endif
    return ports;
}
