#pragma once

#include "parser.h"
#include "responder.h"

#include "model/report/replyrecording.h"

#include <QHash>

#include <memory>

namespace sim {

// A terminal played back from a report: each frame received is matched with the request the
// report recorded at that place, and answered with the reply the terminal gave then, piece by
// piece, each after its recorded delay. Where the frames received differ from those recorded,
// the record says so (Record::replayNotes).
//
// A frame that differs is still answered with the recorded reply, unless one of the next few
// recorded requests is that very frame (the program sent fewer of a repeated request, say a
// poll during a reboot wait): the replay then moves on to it. A data block whose exchange the
// report dropped (the oldest go first) gets the reply most data blocks got; a frame beyond the
// recording gets no answer.
class Replayer : public Responder
{
public:
    static constexpr int kLookAhead = 8;  // recorded requests searched for a frame that differs
    static constexpr int kMaxNotes = 50;  // differences told one by one; the rest are counted

    explicit Replayer(std::shared_ptr<const ReplyRecording> recording);

    void receive(const char *data, int size, Clock::time_point now,
                 std::vector<Output> &out) override;
    void idle(Clock::time_point now, std::vector<Output> &out) override;
    Clock::time_point idleDeadline() const override;
    const Record &record() const override;
    void noteDroppedReply() override { ++rec.droppedReplies; }

private:
    void drain(Clock::time_point now, bool stale, std::vector<Output> &out);
    void handle(const QByteArray &frame, Clock::time_point now, std::vector<Output> &out);
    bool matches(int index, const QByteArray &frame) const;
    void play(const QVector<ReplyRecording::Piece> &reply, Clock::time_point now,
              std::vector<Output> &out);
    void note(const QString &text);

    std::shared_ptr<const ReplyRecording> recording;
    QList<ReplyRecording::Exchange> exchanges;
    QHash<int, int> byIndex; // an exchange's index -> its place in `exchanges`
    QVector<ReplyRecording::Piece> usualDataReply;
    Parser parser;
    Clock::time_point lastReceive;
    Clock::time_point lastDue; // replies leave in order
    int received = 0;          // frames received
    int shift = 0;             // recorded requests skipped so far
    int asRecorded = 0;        // frames equal to the recorded ones
    int differing = 0;
    int standIns = 0; // data blocks answered for an exchange the report dropped
    int beyond = 0;   // frames after the last recorded request
    int notes = 0;
    QStringList differences; // the first kMaxNotes
    mutable Record rec;
};

} // namespace sim
