// vardel-station: the package installed on every connected terminal at once.
#include "console.h"
#include "station/station.h"
#include "stationconsole.h"
#include "stationoptions.h"
#include "stopsignals.h"
#include "system/versionoption.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdlib>

int main(int argc, char *argv[])
{
    if (versionoption::asked(argc, argv))
        return versionoption::print("vardel-station");
    // Before any thread starts, so that every thread inherits the mask: the stop signals are
    // taken by the run's own loop, in every phase.
    StopSignals::install();
    console::start();

    QCoreApplication application(argc, argv);
    // The developers' traces stay quiet unless QT_LOGGING_RULES asks for them.
    QLoggingCategory::setFilterRules(QStringLiteral("vardel.*.debug=false\nvardel.*.info=false"));
    StationOptions options;
    QString error;
    int status = Station::kNothingStarted;
    QList<QByteArray> arguments; // as the system gave them: QCoreApplication's are decoded
    for (int i = 1; i < argc; ++i)
        arguments << QByteArray(argv[i]);
    if (!parseStationOptions(arguments, options, error)) {
        console::err(QStringLiteral("vardel-station : ") + error +
                     QStringLiteral("\nAide : vardel-station --help\n"));
    } else if (options.help) {
        console::out(stationUsage());
        status = 0;
    } else {
        StopSignals stopSignals;
        StationConsole shown(options);
        Station station(options, stopSignals, shown);
        status = station.run();
        if (station.leftWorkRunning()) {
            // Only a package read or a port listing is left: end without waiting for it.
            console::finish();
            std::_Exit(status);
        }
    }
    // The log, the journal and the JSON summary are written: a standard output that nobody
    // reads holds the end up 2 s at most.
    if (!console::finish())
        std::_Exit(status);
    return status;
}
