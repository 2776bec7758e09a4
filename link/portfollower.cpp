#include "portfollower.h"

#include "serialport.h"

#include <QSerialPortInfo>

PortFollower::PortFollower(const QString &start) : label(start)
{
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (SerialPort::labelFor(info) != start)
            continue;
        // Followed only when the number says which terminal this is and no other port has it.
        const auto followed = SerialPort::terminalBySerial(available, info.serialNumber());
        if (followed && followed->portName() == info.portName())
            serial = info.serialNumber();
    }
}

QString PortFollower::current(bool *moved)
{
    QString now;
    if (isFollowing()) {
        // While the terminal is away, another device with its number (an adapter that reports
        // the same one) is not it: only a terminal's port that alone reports it is followed.
        if (const auto info =
                SerialPort::terminalBySerial(QSerialPortInfo::availablePorts(), serial))
            now = SerialPort::labelFor(*info);
    }
    std::lock_guard<std::mutex> lock(mutex);
    const bool changed = !now.isEmpty() && now != label;
    if (changed)
        label = now;
    if (moved)
        *moved = changed;
    return label;
}
