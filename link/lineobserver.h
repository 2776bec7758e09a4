#pragma once

#include <QString>
#include <QtGlobal>

// What a SerialPort tells whoever watches its line: the port opened and closed, each request
// frame once it is on the line, and the bytes that came back as they were read (or dropped
// unread). Called on the thread that uses the port.
class LineObserver
{
public:
    virtual ~LineObserver() = default;

    virtual void portOpened(const QString &label) = 0;
    virtual void portClosed() = 0;
    // One frame, written whole and drained (or given up waiting for).
    virtual void sent(const quint8 *data, int length) = 0;
    virtual void received(const char *data, int length) = 0;
};
