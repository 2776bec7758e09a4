#pragma once

#include "frametrace.h"
#include "link/lineobserver.h"
#include "replyrecording.h"

#include <QElapsedTimer>

#include <mutex>

// What the line did, for a report: the trace of the last frames each way, always, and during
// an installation every exchange for a replay. It watches a SerialPort (the thread that uses
// the port feeds it); a report reads it from any thread.
class LineRecorder : public LineObserver
{
public:
    LineRecorder();

    // The exchanges of a new installation are recorded from now on, those of the last one
    // forgotten; until endInstallation().
    void beginInstallation();
    void endInstallation();

    FrameTrace trace() const;
    ReplyRecording replies() const;

    void portOpened(const QString &label) override;
    void portClosed() override;
    void sent(const quint8 *data, int length) override;
    void received(const char *data, int length) override;

private:
    FrameTrace::Entry entry(FrameTrace::Entry::Kind kind) const; // under mutex

    mutable std::mutex mutex; // guards what follows
    QElapsedTimer clock;
    FrameTrace frames;
    ReplyRecording recording;
    bool recordingExchanges = false;
    qint64 lastSentMs = 0;
};
