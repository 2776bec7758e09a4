#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <deque>

// The last frames that went each way on the line, with their times, for a person to read: the
// kDepth last sent and the kDepth last received, and the last openings and closings of the
// port. A data block is kept by its header alone (code, number, length of its chunk), never
// its content.
class FrameTrace
{
public:
    static constexpr int kDepth = 256;
    static constexpr int kEventDepth = 64; // openings and closings
    // The most bytes kept of one reading (a line that spews garbage).
    static constexpr int kMaxBytes = 256;

    struct Entry
    {
        enum class Kind
        {
            Sent,
            Received,
            Opened,
            Closed,
        };
        Kind kind = Kind::Sent;
        qint64 epochMs = 0; // wall clock, for the person
        qint64 ms = 0;      // monotonic, for the gaps
        quint64 order = 0;  // of the entry among all those added, for their order
        int length = 0;     // bytes that went on the line
        QByteArray bytes;   // what is kept of them
        bool data = false;  // a data block: `bytes` is its header
        QString label;      // Opened: the port
    };

    void add(Entry entry);
    void clear();
    bool isEmpty() const { return sent.empty() && received.empty() && events.empty(); }
    // Every entry kept, in the order of their times.
    QList<Entry> inOrder() const;
    // The report's lines: time, gap since the entry before, direction, size and bytes in hex.
    QStringList lines() const;

private:
    quint64 added = 0;
    std::deque<Entry> sent;
    std::deque<Entry> received;
    std::deque<Entry> events;
};
