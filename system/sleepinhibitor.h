#pragma once

#include <QString>

// Keeps the PC awake while a terminal is being updated: a sleep took the line away mid-download
// and left the terminal half-written. It holds a logind inhibitor lock on sleep, idle and the lid
// switch (mode "block", who "Vardel"), taken through org.freedesktop.login1.Manager.Inhibit on
// the system bus. logind hands back a file descriptor: the lock lasts as long as it stays open,
// so it also goes when the process ends, however it ends.
//
// Used from one thread at a time. Without logind (no system bus, no logind on it, or a refusal)
// nothing is held and the caller goes on; it logs why once (logtexts::sleepNotInhibited).
class SleepInhibitor
{
public:
    enum class Outcome
    {
        Held,        // the lock is held (also when it already was)
        NoSystemBus, // no system bus to talk to
        NoLogind,    // a system bus without logind on it
        Refused,     // logind answered with an error (e.g. not allowed)
    };

    // The bus address used when DBUS_SYSTEM_BUS_ADDRESS is not set.
    static const char *const kDefaultSystemBus;
    // What is inhibited, and why, as logind lists it.
    static const char *const kWhat;
    static const QString kWho;
    static const QString kWhy;

    SleepInhibitor() = default;
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor &) = delete;
    SleepInhibitor &operator=(const SleepInhibitor &) = delete;

    // Takes the lock unless it is already held. Blocks for the bus round trip (at most a few
    // seconds when logind does not answer).
    Outcome acquire();
    // Lets the PC sleep again; nothing happens when no lock is held.
    void release();
    bool isHeld() const { return fd >= 0; }
    // The D-Bus error of the last acquire that failed ("name: message"), for the log.
    QString failureDetail() const { return detail; }

private:
    int fd = -1;
    QString detail;
};
