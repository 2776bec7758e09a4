#pragma once

#include "behaviour.h"
#include "parser.h"
#include "responder.h"

#include <chrono>
#include <vector>

namespace sim {

// The terminal's side of the protocol, without any I/O: bytes in, timed replies out, and the
// record of what came in. Not thread-safe; Terminal guards it.
class Engine : public Responder
{
public:
    // A frame left incomplete this long is stale: the line went quiet in the middle of it.
    static constexpr std::chrono::milliseconds kStaleAfter{100};
    // One byte on a 9600-baud 8N1 line: a start bit, eight data bits and a stop bit.
    static constexpr std::chrono::nanoseconds kByteTime{1000000000LL * 10 / 9600};

    explicit Engine(const Behaviour &behaviour, Clock::time_point origin = Clock::now());

    void setBehaviour(const Behaviour &behaviour) { b = behaviour; }
    const Behaviour &behaviour() const { return b; }
    const Record &record() const override { return rec; }
    void noteDroppedReply() override { ++rec.droppedReplies; }
    // When the last restart began, or begins: restartAfterMs after the acknowledgement of the
    // last accepted reboot (min() before any, and for a terminal that never restarts).
    Clock::time_point lastReboot() const { return restartAt; }

    // Bytes received at `now`; the replies they call for are appended to `out`.
    void receive(const char *data, int size, Clock::time_point now,
                 std::vector<Output> &out) override;
    // Called once idleDeadline() has passed: drops a frame that will not complete.
    void idle(Clock::time_point now, std::vector<Output> &out) override;
    Clock::time_point idleDeadline() const override;

private:
    void drain(Clock::time_point now, bool stale, std::vector<Output> &out);
    void handle(FrameKind kind, const QByteArray &bytes, Clock::time_point now,
                std::vector<Output> &out);
    static bool shortCommand(const QByteArray &bytes, Command &command);
    bool handleShort(const QByteArray &bytes, Command command, Clock::time_point ready,
                     std::vector<Output> &out);
    bool handleBlock(Command command, const QByteArray &bytes, Clock::time_point ready,
                     std::vector<Output> &out);
    bool handleAdvertisement(const QByteArray &bytes, Clock::time_point ready,
                             std::vector<Output> &out);
    bool handleLoadStart(Clock::time_point ready, std::vector<Output> &out);
    bool handleData(const QByteArray &bytes, Clock::time_point ready, std::vector<Output> &out);
    void finishDownload(QByteArray lastReply, Clock::time_point ready, std::vector<Output> &out);
    void endDownload();
    void resetSession();
    // Whether the terminal is restarting at `now` (deaf); a list it was given for after the
    // restart is its list from the moment the restart begins.
    bool restarting(Clock::time_point now);

    // Queues `bytes` to leave no earlier than `ready`; returns when the last byte is out.
    Clock::time_point send(const QByteArray &bytes, Clock::time_point ready,
                           std::vector<Output> &out);
    QByteArray ack(quint8 code, quint8 accepted, quint8 result, bool damaged) const;
    void anomaly(const QString &text);

    Behaviour b;
    Record rec;
    Parser parser;
    Clock::time_point origin;
    Clock::time_point lastReceive;
    Clock::time_point rxFree;     // paced line, host to terminal
    Clock::time_point txFree;     // paced line, terminal to host; also keeps the replies in order
    Clock::time_point restartAt; // deaf for rebootSilenceMs from then on

    // The application lists of the activations (Behaviour::applicationsAfter).
    int activations = 0;
    std::optional<QList<AppEntry>> activatedList; // taken by the next restart
    std::optional<QList<AppEntry>> restartList;   // the list from restartAt on

    // Session: the advertised file, its authorisation and the running download.
    bool advertised = false;
    bool authorized = false;
    Advertisement advert;
    bool downloading = false;
    int position = 0; // acknowledged blocks of the running download
    QByteArray lastAccepted;
};

} // namespace sim
