#include "linerecorder.h"

#include "model/protocol/frames.h"

#include <QDateTime>

LineRecorder::LineRecorder()
{
    clock.start();
}

void LineRecorder::beginInstallation()
{
    std::lock_guard<std::mutex> lock(mutex);
    recording.clear();
    recordingExchanges = true;
}

void LineRecorder::endInstallation()
{
    std::lock_guard<std::mutex> lock(mutex);
    recordingExchanges = false;
}

FrameTrace LineRecorder::trace() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
}

ReplyRecording LineRecorder::replies() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recording;
}

FrameTrace::Entry LineRecorder::entry(FrameTrace::Entry::Kind kind) const
{
    FrameTrace::Entry e;
    e.kind = kind;
    e.epochMs = QDateTime::currentMSecsSinceEpoch();
    e.ms = clock.elapsed();
    return e;
}

void LineRecorder::portOpened(const QString &label)
{
    std::lock_guard<std::mutex> lock(mutex);
    FrameTrace::Entry e = entry(FrameTrace::Entry::Kind::Opened);
    e.label = label;
    frames.add(std::move(e));
}

void LineRecorder::portClosed()
{
    std::lock_guard<std::mutex> lock(mutex);
    frames.add(entry(FrameTrace::Entry::Kind::Closed));
}

void LineRecorder::sent(const quint8 *data, int length)
{
    std::lock_guard<std::mutex> lock(mutex);
    FrameTrace::Entry e = entry(FrameTrace::Entry::Kind::Sent);
    e.length = length;
    // A data block carries the package's decrypted content: only its header is kept.
    e.data = frame::isDataBlock(data, length);
    e.bytes = QByteArray(reinterpret_cast<const char *>(data),
                         e.data ? frame::kDataOffset : length);
    lastSentMs = e.ms;
    frames.add(std::move(e));
    if (recordingExchanges)
        recording.sent(data, length);
}

void LineRecorder::received(const char *data, int length)
{
    if (length <= 0)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    FrameTrace::Entry e = entry(FrameTrace::Entry::Kind::Received);
    e.length = length;
    e.bytes = QByteArray(data, std::min(length, FrameTrace::kMaxBytes));
    if (recordingExchanges)
        recording.received(qint32(e.ms - lastSentMs), data, length);
    frames.add(std::move(e));
}
