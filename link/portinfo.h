#pragma once

#include <QList>
#include <QString>

class QSerialPortInfo;

// A serial port as the system lists it, in values of its own. The strings are copies made when
// the listing is taken, shared with nothing inside Qt Serial Port: a listing taken on one thread
// may be read and dropped on any other (the station's jobs read the run's listing), and the
// last owner of each string is always our code. The texts udev reports (serial number,
// manufacturer, description) are read as UTF-8, udev's encoding ("E€1" stays "E€1").
struct PortInfo
{
    QString name;         // "ttyACM0"
    QString location;     // "/dev/ttyACM0"
    QString description;  // "Terminal USB"
    QString manufacturer; // "Tarvenix"
    QString serialNumber; // the USB serial number; empty when the system reports none
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;

    // "ttyACM0 - (Terminal USB)": system name, " - (", description, ")".
    QString label() const;
    // Whether it carries a terminal of the brand: its manufacturer, in lower case, is one of
    // the brand's two names, exactly.
    bool isTerminal() const;

    static PortInfo from(const QSerialPortInfo &info);
    // The system's serial ports now.
    static QList<PortInfo> available();
};
