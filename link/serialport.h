#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <mutex>

class QSerialPortInfo;

// The one serial link to the terminal. It opens a port by its label, applies the terminal's
// line settings and offers three blocking transfers: write, the exact-length read and the
// single-shot readWithTimeout. It also keeps the labels that the last terminal search found.
//
// The port is used by one thread at a time (the installation worker, or the GUI thread for
// the release sweep). It has no thread of its own between an open and a close, so that whichever
// thread opens it owns it until it closes it.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    // Empty polls of the exact-length read before it gives up on the current chunk.
    static constexpr int kReadPollBudget = 200000;
    // How long write() waits for the output to drain before it gives up waiting (and succeeds).
    static constexpr int kDrainTimeoutMs = 5000;

    SerialPort();
    ~SerialPort() override;

    // "ttyACM0 - (Terminal USB)": system name, " - (", description, ")".
    static QString labelFor(const QSerialPortInfo &info);

    [[nodiscard]] bool open(const QString &label);
    void selectPort(const QString &label);
    [[nodiscard]] bool configure();
    bool close();
    bool isOpen() const;

    [[nodiscard]] bool write(const quint8 *data, quint16 length);
    // Reads exactly `length` bytes. On success `length` holds the count read.
    [[nodiscard]] bool read(quint8 *buffer, quint16 &length);
    // One wait of at most timeoutMs, then one read of whatever has arrived (at most `length`).
    [[nodiscard]] bool readWithTimeout(quint8 *buffer, quint16 &length, int timeoutMs);
    void clearInput();
    void clearOutput();

    // Lists the serial ports and keeps the labels of those that carry a terminal of the brand.
    // Returns whether the system lists any serial port at all.
    bool detectTerminals();

    // Copies of what the last search found; safe while a search rewrites them.
    QStringList getPorts() const;
    int getPreferredIndex() const;
    void setFoundPorts(const QStringList &labels, int preferred);

    QString getPortLabel() const { return portLabel; }
    // Line state as the port reports it (for checking RTS and DTR).
    QSerialPort::PinoutSignals pinoutSignals() { return port.pinoutSignals(); }

private:
    mutable std::mutex portsMutex; // guards ports and preferredIndex
    QStringList ports;
    qint32 preferredIndex = 0;
    QSerialPort port;
    QString portLabel;
};
