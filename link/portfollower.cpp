#include "portfollower.h"

#include "serialport.h"

PortFollower::PortFollower(const QString &start) : label(start)
{
    const QList<PortInfo> available = PortInfo::available();
    for (const PortInfo &info : available) {
        if (info.label() != start)
            continue;
        // Followed only when the number says which terminal this is and no other port has it.
        const auto followed = SerialPort::terminalBySerial(available, info.serialNumber);
        if (followed && followed->name == info.name)
            serial = info.serialNumber;
    }
}

QString PortFollower::current(bool *moved)
{
    QString now;
    if (isFollowing()) {
        // While the terminal is away, another device with its number (an adapter that reports
        // the same one) is not it: only a terminal's port that alone reports it is followed.
        if (const auto info = SerialPort::terminalBySerial(PortInfo::available(), serial))
            now = info->label();
    }
    std::lock_guard<std::mutex> lock(mutex);
    const bool changed = !now.isEmpty() && now != label;
    if (changed)
        label = now;
    if (moved)
        *moved = changed;
    return label;
}
