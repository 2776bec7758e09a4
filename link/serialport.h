#pragma once

#include "portinfo.h"

#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>

class LineObserver;

// The one serial link to the terminal. It opens a port by its label, applies the terminal's
// line settings and offers blocking transfers: write, the exact-length read, the single-shot
// readWithTimeout and readReply for replies of known length. Every wait is measured in time and
// spent blocked in the operating system. It also keeps the labels that the last terminal search found.
//
// The port is used by one thread at a time (the installation worker, or the GUI thread for
// the release sweep). It has no thread of its own between an open and a close, so that whichever
// thread opens it owns it until it closes it.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    // How long the exact-length read waits for the next bytes before it gives up. The wait
    // starts again whenever bytes arrive, so a long reply on a slow line is never cut.
    static constexpr int kReadTimeoutMs = 2000;
    // How long write() waits for the output to drain before it gives up waiting (and succeeds).
    static constexpr int kDrainTimeoutMs = 5000;

    SerialPort();
    ~SerialPort() override;

    // Where open() looks up a label: by default the system's listing, taken at each open. A
    // driver that lists the ports itself (the station, once for all its terminals) hands its
    // last listing over instead. Set it before the port is used; it is called on the thread
    // that opens the port.
    using PortLister = std::function<QList<PortInfo>()>;
    void setPortLister(PortLister source) { lister = std::move(source); }

    // Fails for a label that no available port carries, also while a port is open.
    [[nodiscard]] bool open(const QString &label);
    // Makes the port of `label` the one the next open uses; false when no port carries it.
    bool selectPort(const QString &label);
    [[nodiscard]] bool configure();
    bool close();
    bool isOpen() const;

    // Sends one request frame: bytes left over from earlier exchanges are discarded first, so
    // that a late reply is never taken for the answer to this request.
    [[nodiscard]] bool write(const quint8 *data, quint16 length);
    // Reads exactly `length` bytes, waiting at most kReadTimeoutMs (or what setReadTimeout
    // gave) for each chunk. On success `length` holds the count read; after a time-out, what
    // was still missing.
    [[nodiscard]] bool read(quint8 *buffer, quint16 &length);
    // Waits at most timeoutMs for bytes, then reads once whatever has arrived (at most
    // `length`): any answer counts.
    [[nodiscard]] bool readWithTimeout(quint8 *buffer, quint16 &length, int timeoutMs);
    // A reply of known length: gathers bytes until `length` have come or no byte has come for
    // timeoutMs. False when nothing came (`length` unchanged); otherwise `length` holds the
    // count, which is short of the wanted length when the reply stopped half-way.
    [[nodiscard]] bool readReply(quint8 *buffer, quint16 &length, int timeoutMs);
    void setReadTimeout(int ms) { readTimeoutMs = ms; }
    void clearInput();
    void clearOutput();
    // Discards what arrives until the line has been quiet for quietMs (at most five such
    // periods in all): a reply that comes after its time-out is dropped, not taken later.
    void discardUntilQuiet(int quietMs);

    // Lists the serial ports and keeps the labels of those that carry a terminal of the brand.
    // Returns whether the system lists any serial port at all.
    bool detectTerminals();

    // Copies of what the last search found; safe while a search rewrites them.
    QStringList getPorts() const;
    int getPreferredIndex() const;
    void setFoundPorts(const QStringList &labels, int preferred);

    // Who hears of every frame and every byte of the line (none by default). Set it before the
    // port is used; it is called on the thread that uses the port.
    void setObserver(LineObserver *watcher) { observer = watcher; }

    QString getPortLabel() const { return portLabel; }
    // Bytes handed to the line by write() since construction; readable from any thread.
    quint64 bytesWritten() const { return written; }
    // Line state as the port reports it (for checking RTS and DTR).
    QSerialPort::PinoutSignals pinoutSignals() { return port.pinoutSignals(); }

private:
    // Blocks until bytes can be read or timeoutMs has passed; false on time-out or a dead port.
    bool waitForBytes(int timeoutMs);
    // Reads into `buffer` until `wanted` bytes have come or none has come for timeoutMs;
    // returns the count read.
    quint16 gather(quint8 *buffer, quint16 wanted, int timeoutMs);
    // Reads at most `size` bytes once, and tells the observer what came.
    qint64 readOnce(char *buffer, qint64 size);

    mutable std::mutex portsMutex; // guards ports and preferredIndex
    QStringList ports;
    qint32 preferredIndex = 0;
    QSerialPort port;
    QString portLabel;
    PortLister lister; // empty: PortInfo::available()
    int readTimeoutMs = kReadTimeoutMs;
    std::atomic<quint64> written{0};
    LineObserver *observer = nullptr;
};
