// vardel-station: the package installed on every connected terminal at once.
#include "station.h"
#include "stationoptions.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>
#include <pthread.h>

int main(int argc, char *argv[])
{
    // Ctrl-C and SIGTERM are taken by the run's own loop: blocked here, before any thread
    // starts, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication application(argc, argv);
    // The developers' traces stay quiet unless QT_LOGGING_RULES asks for them.
    QLoggingCategory::setFilterRules(QStringLiteral("vardel.*.debug=false\nvardel.*.info=false"));
    StationOptions options;
    QString error;
    if (!parseStationOptions(QCoreApplication::arguments().mid(1), options, error)) {
        std::fputs(qUtf8Printable(QStringLiteral("vardel-station : ") + error +
                                  QStringLiteral("\nAide : vardel-station --help\n")),
                   stderr);
        return Station::kNothingStarted;
    }
    if (options.help) {
        std::fputs(qUtf8Printable(stationUsage()), stdout);
        return 0;
    }
    return Station(options, stopSignals).run();
}
