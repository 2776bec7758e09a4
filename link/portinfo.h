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
    // Whether the serial number is text that can name a terminal: valid UTF-8, not blank, no
    // control character. Bytes that are not UTF-8 are kept one character per byte (Latin-1),
    // and are not.
    bool serialNumberIsText = false;
    // Where the USB device that carries the port is plugged in: its place in the USB tree, as
    // the kernel names the device ("1-2": bus 1, port 2 of its root hub; "1-2.4" behind a hub
    // on that port). It stays the same when the device comes back under another port name
    // (a reboot, a reset) and changes when it is plugged into another socket. Empty for a port
    // that is not on USB.
    QString usbSocket;
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;

    // "ttyACM0 - (Terminal USB)": system name, " - (", description, ")".
    QString label() const;
    // Whether it carries a terminal of the brand: its manufacturer, in lower case, is one of
    // the brand's two names, exactly.
    bool isTerminal() const;

    // What Qt reports of the port; the USB socket is not among it (see available()).
    static PortInfo from(const QSerialPortInfo &info);
    // The system's serial ports now, with their USB sockets.
    static QList<PortInfo> available();
};
