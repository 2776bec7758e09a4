#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>

// Every exchange of one installation, for vardel-sim --replay: each request frame the program
// sent (a data block by its header only) and the reply the terminal gave, piece by piece, each
// with its delay after the request. Replies are short and hold no secret; the content of a data
// block is never kept.
//
// At most `capacity` exchanges are kept: beyond, the oldest data-block exchange goes first
// (they are the many), and only when none is left the oldest of the others; both are counted.
// The exchanges keep their numbers, so that a replay knows which ones are missing.
class ReplyRecording
{
public:
    static constexpr int kCapacity = 20000;
    static constexpr int kMaxRequest = 256; // the longest frame the program sends is 128
    static constexpr int kMaxReply = 4096;  // bytes kept of one reply

    struct Piece
    {
        qint32 delayMs = 0; // after the request was on the line
        QByteArray bytes;
    };
    struct Exchange
    {
        qint32 index = 0;  // of the request among all those sent, from 0
        bool data = false; // a data block: `request` is its 4-byte header
        QByteArray request;
        QVector<Piece> reply;
    };

    explicit ReplyRecording(int capacity = kCapacity);

    void clear();
    // A request frame went on the line; the bytes that come next are its reply.
    void sent(const quint8 *frame, int length);
    // Bytes of the reply to the last request, `delayMs` after it.
    void received(qint32 delayMs, const char *bytes, int length);

    // Every exchange kept, in order.
    QList<Exchange> exchanges() const;
    int requests() const { return sentCount; } // sent in all, kept or not
    int droppedData() const { return droppedDataCount; }
    int droppedOther() const { return droppedOtherCount; }
    bool isEmpty() const { return sentCount == 0; }

    // The lines of the report's section, between its two markers; parse() reads them back out
    // of a whole report. False with `error` (English, for vardel-sim) when the report holds no
    // such section or a line of it is not one this class writes.
    QStringList lines() const;
    [[nodiscard]] static bool parse(const QByteArray &report, ReplyRecording &recording,
                                    QString &error);
    static const QString kBeginMarker;
    static const QString kEndMarker;

private:
    void append(Exchange exchange);

    int capacity;
    std::deque<Exchange> others; // every exchange but the data blocks', in order
    std::deque<Exchange> blocks; // the data blocks'
    Exchange *last = nullptr;    // the one that takes the reply now; null: none
    int sentCount = 0;
    int droppedDataCount = 0;
    int droppedOtherCount = 0;
};
