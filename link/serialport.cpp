#include "serialport.h"

#include "lineobserver.h"

#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QThread>

namespace {

// A wait that ends without bytes is a time-out (or an interrupted wait); anything else means
// the port cannot deliver any more.
bool transient(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::NoError || error == QSerialPort::TimeoutError;
}

} // namespace

SerialPort::SerialPort()
{
    // Detached from every thread until a thread opens it (see open() and close()).
    port.moveToThread(nullptr);
}

SerialPort::~SerialPort()
{
    if (port.isOpen() && port.thread() == QThread::currentThread())
        port.close();
}

bool SerialPort::open(const QString &label)
{
    // An unknown label opens nothing, not even the port chosen before.
    if (!selectPort(label))
        return false;
    if (port.isOpen())
        return true;
    if (port.thread() == nullptr)
        port.moveToThread(QThread::currentThread());
    if (!port.open(QIODevice::ReadWrite)) {
        port.moveToThread(nullptr);
        return false;
    }
    // A port that cannot be configured is closed again, so that the next open starts clean.
    if (!configure()) {
        close();
        return false;
    }
    portLabel = label;
    if (observer)
        observer->portOpened(label);
    return true;
}

bool SerialPort::selectPort(const QString &label)
{
    const QList<PortInfo> available = lister ? lister() : PortInfo::available();
    for (const PortInfo &info : available) {
        if (info.label() == label) {
            port.setPortName(info.location);
            return true;
        }
    }
    // No match: the previous choice stays. Clearing a closed port would only warn.
    if (port.isOpen())
        port.clear(QSerialPort::AllDirections);
    return false;
}

bool SerialPort::configure()
{
    // In this order; the first setting that fails stops the sequence. RTS is asserted while the
    // flow control is still the default "none".
    return port.setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections) &&
           port.setDataBits(QSerialPort::Data8) && port.setParity(QSerialPort::NoParity) &&
           port.setStopBits(QSerialPort::OneStop) && port.setRequestToSend(true) &&
           port.setFlowControl(QSerialPort::NoFlowControl) && port.setDataTerminalReady(true);
}

bool SerialPort::close()
{
    if (port.isOpen()) {
        port.close();
        if (port.isOpen())
            return false;
        if (observer)
            observer->portClosed();
    }
    if (port.thread() == QThread::currentThread())
        port.moveToThread(nullptr);
    portLabel.clear();
    return true;
}

bool SerialPort::isOpen() const
{
    return port.isOpen();
}

bool SerialPort::write(const quint8 *data, quint16 length)
{
    clearInput();
    const qint64 accepted = port.write(reinterpret_cast<const char *>(data), length);
    if (accepted > 0)
        written += quint64(accepted);
    if (static_cast<quint16>(accepted) != length)
        return false;
    port.flush();
    QElapsedTimer timer;
    timer.start();
    while (port.bytesToWrite() > 0) {
        const qint64 left = kDrainTimeoutMs - timer.elapsed();
        if (left <= 0)
            break;
        port.clearError();
        if (!port.waitForBytesWritten(int(left)) && !transient(port.error()))
            break;
    }
    if (observer)
        observer->sent(data, length);
    // A write that did not drain is not an error here: the missing reply will tell.
    return true;
}

bool SerialPort::waitForBytes(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (port.bytesAvailable() <= 0) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0 || !port.isOpen())
            return false;
        port.clearError();
        if (!port.waitForReadyRead(int(left)) && !transient(port.error()))
            return false; // the port is gone: waiting longer would only spin
    }
    return true;
}

qint64 SerialPort::readOnce(char *buffer, qint64 size)
{
    const qint64 count = port.read(buffer, size);
    if (count > 0 && observer)
        observer->received(buffer, int(count));
    return count;
}

quint16 SerialPort::gather(quint8 *buffer, quint16 wanted, int timeoutMs)
{
    quint16 received = 0;
    while (received < wanted && waitForBytes(timeoutMs)) {
        const qint64 count = readOnce(reinterpret_cast<char *>(buffer) + received, wanted - received);
        if (count <= 0)
            break;
        received = static_cast<quint16>(received + count);
    }
    return received;
}

bool SerialPort::read(quint8 *buffer, quint16 &length)
{
    const quint16 wanted = length;
    const quint16 received = gather(buffer, wanted, readTimeoutMs);
    if (received < wanted) {
        length = static_cast<quint16>(wanted - received); // what was still missing
        return false;
    }
    return true;
}

bool SerialPort::readWithTimeout(quint8 *buffer, quint16 &length, int timeoutMs)
{
    if (!waitForBytes(timeoutMs))
        return false;
    const qint64 count = readOnce(reinterpret_cast<char *>(buffer), length);
    if (count < 0)
        return false;
    length = static_cast<quint16>(count);
    return count != 0;
}

bool SerialPort::readReply(quint8 *buffer, quint16 &length, int timeoutMs)
{
    const quint16 received = gather(buffer, length, timeoutMs);
    if (received == 0)
        return false;
    length = received;
    return true;
}

void SerialPort::clearInput()
{
    if (!port.isOpen())
        return;
    // What came and is dropped unread is still part of what the line did.
    if (observer && port.bytesAvailable() > 0) {
        const QByteArray dropped = port.readAll();
        observer->received(dropped.constData(), dropped.size());
    }
    port.clear(QSerialPort::Input);
}

void SerialPort::clearOutput()
{
    if (port.isOpen())
        port.clear(QSerialPort::Output);
}

void SerialPort::discardUntilQuiet(int quietMs)
{
    QElapsedTimer timer;
    timer.start();
    while (waitForBytes(quietMs)) {
        const QByteArray dropped = port.readAll();
        if (observer)
            observer->received(dropped.constData(), dropped.size());
        if (timer.elapsed() >= 5LL * quietMs)
            break;
    }
    clearInput();
}

QStringList SerialPort::getPorts() const
{
    std::lock_guard<std::mutex> lock(portsMutex);
    return ports;
}

int SerialPort::getPreferredIndex() const
{
    std::lock_guard<std::mutex> lock(portsMutex);
    return preferredIndex;
}

void SerialPort::setFoundPorts(const QStringList &labels, int preferred)
{
    std::lock_guard<std::mutex> lock(portsMutex);
    ports = labels;
    preferredIndex = preferred;
}
