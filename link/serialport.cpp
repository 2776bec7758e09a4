#include "serialport.h"

#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QThread>

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

QString SerialPort::labelFor(const QSerialPortInfo &info)
{
    return info.portName() + QStringLiteral(" - (") + info.description() + QLatin1Char(')');
}

bool SerialPort::open(const QString &label)
{
    selectPort(label);
    if (port.isOpen())
        return true;
    if (port.thread() == nullptr)
        port.moveToThread(QThread::currentThread());
    if (!port.open(QIODevice::ReadWrite)) {
        port.moveToThread(nullptr);
        return false;
    }
    // A port that cannot be configured stays open: a later open() reports success at once.
    if (!configure())
        return false;
    portLabel = label;
    return true;
}

void SerialPort::selectPort(const QString &label)
{
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (labelFor(info) == label) {
            port.setPort(info);
            return;
        }
    }
    // No match: the previous choice stays. Clearing a closed port would only warn.
    if (port.isOpen())
        port.clear(QSerialPort::AllDirections);
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
    const qint64 accepted = port.write(reinterpret_cast<const char *>(data), length);
    if (static_cast<quint16>(accepted) != length)
        return false;
    port.flush();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        port.waitForBytesWritten(0);
        if (port.bytesToWrite() == 0 || timer.elapsed() >= kDrainTimeoutMs)
            break;
    }
    // A write that did not drain is not an error here: the missing reply will tell.
    return true;
}

bool SerialPort::read(quint8 *buffer, quint16 &length)
{
    const quint16 wanted = length;
    quint16 received = 0;
    while (received < wanted) {
        int emptyPolls = 0;
        for (;;) {
            port.waitForReadyRead(0);
            if (port.bytesAvailable() > 0)
                break;
            if (++emptyPolls >= kReadPollBudget)
                return false;
        }
        const qint64 count =
            port.read(reinterpret_cast<char *>(buffer) + received, wanted - received);
        if (count <= 0) {
            length = 0;
            return false;
        }
        received = static_cast<quint16>(received + count);
        length = static_cast<quint16>(wanted - received);
    }
    length = received;
    return true;
}

bool SerialPort::readWithTimeout(quint8 *buffer, quint16 &length, int timeoutMs)
{
    // Bytes that arrived before the call are ready already: no wait for new ones then.
    if (port.bytesAvailable() <= 0)
        port.waitForReadyRead(timeoutMs);
    if (port.bytesAvailable() <= 0)
        return false;
    const qint64 count = port.read(reinterpret_cast<char *>(buffer), length);
    if (count < 0)
        return false;
    length = static_cast<quint16>(count);
    return count != 0;
}

void SerialPort::clearInput()
{
    port.clear(QSerialPort::Input);
}

void SerialPort::clearOutput()
{
    port.clear(QSerialPort::Output);
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
