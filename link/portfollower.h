#pragma once

#include <QString>

#include <mutex>

// One terminal followed by its USB serial number while it goes away (its reboot) and comes
// back, perhaps under another port name: what a label is worth at each open of an installation.
// A terminal whose port reports no serial number, or one that another port reports too, cannot
// be told apart that way and keeps its label; a device of another maker that reports the number
// is never taken for it (SerialPort::terminalBySerial). From any thread.
class PortFollower
{
public:
    explicit PortFollower(const QString &label);

    bool isFollowing() const { return !serial.isEmpty(); }
    QString serialNumber() const { return serial; }
    // The label of the port that reports the serial number now; while none does (the terminal
    // is away), the last one seen. `moved` tells whether it changed since the last call.
    QString current(bool *moved = nullptr);

private:
    QString serial;   // empty: not followed
    std::mutex mutex; // guards label
    QString label;
};
