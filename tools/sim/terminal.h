#pragma once

#include "behaviour.h"
#include "engine.h"
#include "replayer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace sim {

// A simulated terminal serving one file descriptor on a thread of its own: the master side of
// a pty (a mocked serial device) or a tty. It answers as its Behaviour says and records what
// it receives; the accessors may be called from any thread while it runs.
//
// Answers to a refused command: the short frames get the refusal 01 81; the application list
// is only its end record; getHTerminal gets a 32-byte 07 01 00 block; the other blocks get
// their code, 01 and 00 (03 01 00 for the authorisation). Refusing "data" stops every download.
// A damaged answer is the usual one with a wrong CRC; for the application list, its last
// application record (the end record when there is none). With a Behaviour that carries a
// recording, the terminal plays it back instead (Replayer).
class Terminal
{
public:
    explicit Terminal(const Behaviour &behaviour = Behaviour());
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // With `ptyMaster`, replies are dropped while nobody holds the device open (a closed port
    // of a USB terminal loses what is sent to it). The descriptor stays the caller's.
    [[nodiscard]] bool start(int fd, bool ptyMaster);
    void stop();

    void setBehaviour(const Behaviour &behaviour);
    Behaviour behaviour() const;
    Record record() const;
    Engine::Clock::time_point lastReboot() const;
    // CPU time used by the serving thread, known once it has stopped (every start counted).
    double cpuSeconds() const { return cpu; }

private:
    void run();
    bool peerListening() const;
    bool writePending(std::vector<Engine::Output> &queue, std::size_t &written);

    mutable std::mutex mutex; // guards engine and replayer
    Engine engine;
    std::unique_ptr<Replayer> replayer; // set: a replay
    Responder *responder;               // the one of the two that serves the line
    int fd = -1;
    bool ptyMaster = true;
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::thread thread;
    double cpu = 0;
};

// A few lines on what the terminal received, for a person.
QString summary(const Record &record);

} // namespace sim
