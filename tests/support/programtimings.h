#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

// The protocol's waits as the test suite shortens them for the programs it starts (vardel-station
// under vardel-sim), through VARDEL_TEST_TIMINGS: a build configured with that option reads them,
// a shipped one has no such seam. Long enough for a sanitizer build on a loaded machine (a
// silent terminal still costs its time-outs, a terminal back from its reboot is found within a
// step), short enough that a whole installation takes about a second. The packages of these
// tests ask for no reboot delay of their own, so that the reboot wait is rebootWaitMinMs.
namespace programtimings {

inline QByteArray text()
{
    return QByteArrayLiteral("requestDelayMs=2,shortDelayMs=1,perFileActivationMs=5,"
                             "hterminalDelayMs=5,applicationPauseMs=1,replyTimeoutMs=1500,"
                             "finalAckTimeoutMs=1000,releaseTimeoutMs=1000,rebootWaitMinMs=3000,"
                             "rebootStepMs=100,rebootTryTimeoutMs=300,searchPauseMs=200,"
                             "settleMs=300,openRetryMs=500,exactReadTimeoutMs=1000");
}

// vardel-sim's terminals restarting in proportion to those waits: after the program's second
// reboot frame, before its first try (a step later); deaf long enough for a try to find them
// silent however late it comes on a loaded machine, back well within the wait. The shipped
// waits take vardel-sim's own (a restart of a second and a half).
inline QStringList terminalOptions(bool shipped = false)
{
    return shipped ? QStringList()
                   : QStringList{QStringLiteral("--restart-after"), QStringLiteral("60"),
                                 QStringLiteral("--reboot-silence"), QStringLiteral("500")};
}

// Whether this build lets the environment shorten the waits.
constexpr bool kShortened =
#ifdef VARDEL_TEST_TIMINGS
    true;
#else
    false;
#endif

// This process's environment for a child: with the shortened waits, or the shipped ones.
inline QProcessEnvironment environment(bool shipped = false)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (shipped)
        env.remove(QStringLiteral("VARDEL_TEST_TIMINGS"));
    else
        env.insert(QStringLiteral("VARDEL_TEST_TIMINGS"), QString::fromLatin1(text()));
    return env;
}

} // namespace programtimings
