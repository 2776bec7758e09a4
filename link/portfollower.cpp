#include "portfollower.h"

#include "serialport.h"

#include <QSerialPortInfo>

PortFollower::PortFollower(const QString &start) : label(start)
{
    QString found;
    int reporting = 0;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (SerialPort::labelFor(info) == start)
            found = info.serialNumber();
    }
    for (const QSerialPortInfo &info : available)
        reporting += !found.isEmpty() && info.serialNumber() == found ? 1 : 0;
    if (reporting == 1)
        serial = found;
}

QString PortFollower::current(bool *moved)
{
    QString now;
    if (isFollowing()) {
        const auto available = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : available) {
            if (info.serialNumber() == serial) {
                now = SerialPort::labelFor(info);
                break;
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    const bool changed = !now.isEmpty() && now != label;
    if (changed)
        label = now;
    if (moved)
        *moved = changed;
    return label;
}
