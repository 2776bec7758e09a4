#include "terminalidentity.h"

namespace {

int carriersOfSerial(const QList<PortInfo> &listing, const QString &serial)
{
    int count = 0;
    for (const PortInfo &info : listing)
        count += info.serialNumber == serial ? 1 : 0;
    return count;
}

int carriersOfSocket(const QList<PortInfo> &listing, const QString &socket)
{
    int count = 0;
    for (const PortInfo &info : listing)
        count += info.usbSocket == socket ? 1 : 0;
    return count;
}

} // namespace

TerminalIdentity TerminalIdentity::of(const PortInfo &info, const QList<PortInfo> &listing)
{
    TerminalIdentity identity;
    identity.serial = info.serialNumber;
    identity.socket = info.usbSocket;
    identity.port = info.name;
    if (info.serialNumberIsText && carriersOfSerial(listing, info.serialNumber) == 1)
        identity.how = Kind::SerialNumber;
    else if (!info.usbSocket.isEmpty() && carriersOfSocket(listing, info.usbSocket) == 1)
        identity.how = Kind::UsbSocket;
    else
        identity.how = Kind::PortName;
    return identity;
}

QString TerminalIdentity::describe() const
{
    switch (how) {
    case Kind::SerialNumber:
        return QStringLiteral("numéro de série ") + serial;
    case Kind::UsbSocket:
        return QStringLiteral("prise USB ") + socket;
    case Kind::PortName:
        break;
    }
    return QStringLiteral("port ") + port;
}

bool TerminalIdentity::matches(const PortInfo &candidate, const QList<PortInfo> &listing) const
{
    if (!candidate.isTerminal())
        return false;
    switch (how) {
    case Kind::SerialNumber:
        if (candidate.serialNumber == serial && carriersOfSerial(listing, serial) == 1)
            return true;
        [[fallthrough]];
    case Kind::UsbSocket:
        return !socket.isEmpty() && candidate.usbSocket == socket &&
               candidate.serialNumber == serial && carriersOfSocket(listing, socket) == 1;
    case Kind::PortName:
        break;
    }
    return candidate.name == port;
}

std::optional<PortInfo> TerminalIdentity::findIn(const QList<PortInfo> &listing) const
{
    std::optional<PortInfo> found;
    for (const PortInfo &info : listing) {
        if (!matches(info, listing))
            continue;
        if (found)
            return std::nullopt; // two ports: neither is surely it
        found = info;
    }
    return found;
}
