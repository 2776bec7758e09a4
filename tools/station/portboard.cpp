#include "portboard.h"

#include "link/serialport.h"

FoundTerminal FoundTerminal::of(const QSerialPortInfo &info)
{
    return {SerialPort::labelFor(info), info.portName(), info.systemLocation(), info.serialNumber(),
            info.manufacturer()};
}

void PortBoard::refresh()
{
    // Listed outside the lock: the jobs keep reading the previous listing meanwhile.
    const QList<QSerialPortInfo> now = QSerialPortInfo::availablePorts();
    std::lock_guard<std::mutex> lock(mutex);
    ports = now;
}

QList<QSerialPortInfo> PortBoard::listing() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return ports;
}

QList<FoundTerminal> PortBoard::terminals() const
{
    QList<FoundTerminal> found;
    for (const QSerialPortInfo &info : listing()) {
        if (SerialPort::isTerminal(info))
            found << FoundTerminal::of(info);
    }
    return found;
}

int PortBoard::sharing(const QString &serialNumber) const
{
    int count = 0;
    for (const QSerialPortInfo &info : listing())
        count += info.serialNumber() == serialNumber ? 1 : 0;
    return count;
}

bool PortBoard::shows(const QString &port, const QString &serialNumber) const
{
    for (const QSerialPortInfo &info : listing()) {
        if (info.portName() == port)
            return info.serialNumber() == serialNumber;
    }
    return false;
}

void PortBoard::hold(const void *holder, const QString &port)
{
    std::lock_guard<std::mutex> lock(mutex);
    held[holder] = port;
}

void PortBoard::release(const void *holder)
{
    std::lock_guard<std::mutex> lock(mutex);
    held.erase(holder);
}

bool PortBoard::isHeldByOther(const void *holder, const QString &port) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &[who, name] : held) {
        if (who != holder && name == port)
            return true;
    }
    return false;
}

std::optional<FoundTerminal> PortBoard::find(const void *holder,
                                             const QString &serialNumber) const
{
    const auto info = SerialPort::terminalBySerial(listing(), serialNumber);
    if (!info || isHeldByOther(holder, info->portName()))
        return std::nullopt;
    return FoundTerminal::of(*info);
}
