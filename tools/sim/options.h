#pragma once

#include "behaviour.h"

#include <QString>
#include <QStringList>

namespace sim {

// The command line of vardel-sim.
struct Options
{
    enum class Mode
    {
        None,
        Tty,  // --tty PATH
        Mock, // --mock ... -- COMMAND [ARGS...]
    };
    Mode mode = Mode::None;
    QString tty;
    QString device = QStringLiteral("ttyACM0"); // the mocked device's name under /dev
    QStringList command;                        // what runs against the mocked device
    QString saveDir;                            // where complete downloads are written
    bool quiet = false;                         // no summary at the end
    bool help = false;
    Behaviour behaviour;
};

// Parses the arguments after the program name. On failure `error` says why.
[[nodiscard]] bool parseOptions(const QStringList &arguments, Options &options, QString &error);
QString usage();

} // namespace sim
