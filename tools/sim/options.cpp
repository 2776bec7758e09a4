#include "options.h"

#include "commandline.h"
#include "model/report/replyrecording.h"

#include <QFile>

#include <algorithm>

namespace sim {

namespace {

bool parseCount(const QString &text, int &value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= 0;
}

// "NAME[:EXTRA],NAME..." (an empty list is allowed).
QList<AppEntry> parseApplications(const QString &text)
{
    QList<AppEntry> entries;
    const QStringList items = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const int colon = item.indexOf(QLatin1Char(':'));
        AppEntry entry;
        entry.name = item.left(colon < 0 ? item.size() : colon).toLatin1();
        entry.extra = colon < 0 ? QByteArray() : item.mid(colon + 1).toLatin1();
        entries.append(entry);
    }
    return entries;
}

// The terminal options of one device, before the record file and the catalogue are applied.
struct Settings
{
    Behaviour behaviour;
    QString catalogue;
    QString recordFile;
    QString replayFile;
    QString vendor;
    QString serial;
    QString description;
    bool vendorGiven = false;
    bool serialGiven = false;
    bool renumber = false;
    bool otherSocket = false;
    bool unplugged = false;
    QList<PlugEvent> schedule;
};

} // namespace

QString usage()
{
    return QStringLiteral(
        "usage: vardel-sim [options] --tty PATH\n"
        "       vardel-sim [options] --mock [--device NAME] [--devices N] [--at K options...]\n"
        "                  -- COMMAND [ARGS...]\n"
        "\n"
        "A simulated payment terminal. --tty serves it on a tty or pty until interrupted;\n"
        "--mock creates mocked USB serial devices, serves a terminal on each and runs COMMAND\n"
        "against them, then exits with COMMAND's status.\n"
        "\n"
        "Mocked devices (--mock):\n"
        "  --device NAME           the device's name under /dev (default ttyACM0); with\n"
        "                          --devices, the base of the names: NAME0, NAME1, ...\n"
        "  --devices N             N terminals (at most 32), each with its own port, USB serial\n"
        "                          number (TVX00001, TVX00002, ...) and manufacturer (Tarvenix\n"
        "                          and Quelmo in turn), all served by this process; the names\n"
        "                          are ttyACM<pid>_0, ttyACM<pid>_1, ... unless --device is given\n"
        "  --at K                  the options that follow, up to the next --at or --, apply to\n"
        "                          device K only (0 = first), on top of those given before any\n"
        "                          --at: --at 1 --refuse-app --at 2 --refuse data\n"
        "  --vendor NAME           the manufacturer the device reports\n"
        "  --serial TEXT           its USB serial number ('' for none)\n"
        "  --description TEXT      its port's description (default \"Terminal USB\")\n"
        "  --renumber              the device comes back from each reboot under a new port\n"
        "                          name, halfway through its reboot silence, in its USB socket\n"
        "  --other-socket          the device comes back (renumbered, or plugged in again) in\n"
        "                          a USB socket no device has used yet, not in its own\n"
        "  --plug-at MS            the device is plugged in MS milliseconds after COMMAND\n"
        "                          starts (absent before when this is its first event)\n"
        "  --unplug-at MS          the device is unplugged MS milliseconds after COMMAND starts\n"
        "                          (both repeatable, per device with --at: --at 1 --plug-at 3000\n"
        "                          --unplug-at 20000 --plug-at 25000)\n"
        "  --unplugged             the device is absent when COMMAND starts\n"
        "  --control               read \"plug K\" and \"unplug K\" lines on standard input and\n"
        "                          plug or unplug device K at once (COMMAND's standard input is\n"
        "                          then /dev/null)\n"
        "\n"
        "Terminal:\n"
        "  --catalogue HEX         catalogue code, 6 hex digits (record bytes 10 to 12)\n"
        "  --hterm-file FILE       hardware record to report: the file's first 126 bytes\n"
        "  --apps LIST             applications: NAME[:EXTRA],... (empty for none)\n"
        "  --apps-after LIST       the applications once the next activation is followed by a\n"
        "                          restart (repeat for each activation in turn; 'same' keeps\n"
        "                          the list as it is)\n"
        "  --refuse-app            the receiving application is absent (01 81)\n"
        "Faults (CMD: init query release apps info auth load activate reboot hterm data):\n"
        "  --silent                answer nothing\n"
        "  --refuse CMD            answer CMD negatively (data: ACK_STOP to every block)\n"
        "  --mute CMD              do not answer CMD\n"
        "  --damage CMD            answer CMD with a damaged CRC\n"
        "  --unaccept CMD          answer CMD with byte 1 = 00 (info auth load activate reboot)\n"
        "  --nok-block N           answer data block N (0 = first) with ACK_NOK, once\n"
        "  --bad-crc-block N       answer data block N with a damaged CRC, once\n"
        "  --bad-header-block N    answer data block N with a bad header, once\n"
        "  --stop-block N          answer data block N with ACK_STOP, once\n"
        "  --mute-block N          do not answer data block N, once\n"
        "  --late-block N          acknowledge data block N late (--late-ms, default 2500), once\n"
        "                          (repeat an option to fault the block again, or the same\n"
        "                          block of the next download)\n"
        "  --nok-forever           answer every data block with ACK_NOK\n"
        "  --no-final-ack          never send the final acknowledgement of a download\n"
        "  --bad-final-ack         final acknowledgement 04 01 00\n"
        "  --bad-final-ack-crc     final acknowledgement with a damaged CRC\n"
        "  --final-ack-delay MS    pause before the final acknowledgement (default 10)\n"
        "  --final-ack-at-once     send it in the same write as the last block's reply\n"
        "  --restart-after MS      after acknowledging a reboot, go on answering for MS\n"
        "                          (default 100), then restart\n"
        "  --reboot-silence MS     deaf for MS while restarting (default 1500); 0: never\n"
        "                          restart, carry on answering as before\n"
        "  --cut-at N              the line goes dead at received frame N (0 = first): that\n"
        "                          frame and every later one go unanswered\n"
        "  --pace-9600             every byte takes its time at 9600 baud, 8N1; replies are\n"
        "                          handed over in pieces (--piece N bytes, default 16), each\n"
        "                          once its last byte has crossed the line\n"
        "  --work MS               work MS on each frame before answering (a flash write)\n"
        "  --bursts                replies leave in pieces (--burst-size N, --burst-gap MS)\n"
        "Replay:\n"
        "  --replay REPORT         play the terminal of a report (yyyyMMdd_hhmmss_rapport.txt):\n"
        "                          each frame gets the reply recorded for it, after its\n"
        "                          recorded delay; the summary says where the frames differ\n"
        "                          from those recorded (the other terminal options are ignored)\n"
        "Run:\n"
        "  --save DIR              write every complete download to DIR/NAME (with --devices,\n"
        "                          DIR/PORT/NAME)\n"
        "  --quiet                 no summary on exit\n");
}

namespace {

// The terminal options, for every device or for one (after --at).
const QList<commandline::Option> &terminalOptions()
{
    static const QList<commandline::Option> options = [] {
        QList<commandline::Option> all;
        for (const char *name :
             {"catalogue", "replay", "hterm-file", "vendor", "serial", "description", "plug-at",
              "unplug-at", "apps", "apps-after", "refuse", "mute", "damage", "unaccept",
              "nok-block", "bad-crc-block", "bad-header-block", "stop-block", "mute-block",
              "late-block", "final-ack-delay", "reboot-silence", "restart-after", "burst-size",
              "burst-gap", "piece", "work", "late-ms", "cut-at"})
            all.append({QLatin1String(name), true});
        for (const char *name :
             {"renumber", "other-socket", "unplugged", "refuse-app", "silent", "nok-forever",
              "no-final-ack", "bad-final-ack", "bad-final-ack-crc", "final-ack-at-once",
              "pace-9600", "bursts"})
            all.append({QLatin1String(name)});
        return all;
    }();
    return options;
}

// One terminal option, `name` without its dashes, into `settings`.
bool applyTerminalOption(const QString &name, const QString &text, Settings &settings,
                         QString &error)
{
    Behaviour &b = settings.behaviour;
    const QString option = QStringLiteral("--") + name;
    int number = 0;
    Command command;
    if (name == QLatin1String("catalogue")) {
        settings.catalogue = text;
    } else if (name == QLatin1String("replay")) {
        settings.replayFile = text;
    } else if (name == QLatin1String("hterm-file")) {
        settings.recordFile = text;
    } else if (name == QLatin1String("vendor")) {
        settings.vendor = text;
        settings.vendorGiven = true;
    } else if (name == QLatin1String("serial")) {
        settings.serial = text;
        settings.serialGiven = true;
    } else if (name == QLatin1String("description")) {
        settings.description = text;
    } else if (name == QLatin1String("renumber")) {
        settings.renumber = true;
    } else if (name == QLatin1String("other-socket")) {
        settings.otherSocket = true;
    } else if (name == QLatin1String("unplugged")) {
        settings.unplugged = true;
    } else if (name == QLatin1String("plug-at") || name == QLatin1String("unplug-at")) {
        if (!parseCount(text, number)) {
            error = option + QStringLiteral(" needs a time in milliseconds");
            return false;
        }
        settings.schedule.append({number, name == QLatin1String("plug-at")});
    } else if (name == QLatin1String("apps")) {
        b.applications = parseApplications(text);
    } else if (name == QLatin1String("apps-after")) {
        b.applicationsAfter.append(text == QLatin1String("same")
                                       ? std::optional<QList<AppEntry>>()
                                       : parseApplications(text));
    } else if (name == QLatin1String("refuse-app")) {
        b.receivingApp = false;
    } else if (name == QLatin1String("silent")) {
        b.silent = true;
    } else if (name == QLatin1String("refuse") || name == QLatin1String("mute") ||
               name == QLatin1String("damage") || name == QLatin1String("unaccept")) {
        if (!commandFromName(text, command)) {
            error = QStringLiteral("unknown command: ") + text;
            return false;
        }
        auto &set = name == QLatin1String("refuse")   ? b.refused
                    : name == QLatin1String("mute")   ? b.muted
                    : name == QLatin1String("damage") ? b.damaged
                                                      : b.unaccepted;
        set.insert(command);
    } else if (name.endsWith(QLatin1String("-block"))) {
        static const QMap<QString, BlockReply> kinds = {
            {QStringLiteral("nok-block"), BlockReply::Nok},
            {QStringLiteral("bad-crc-block"), BlockReply::BadCrc},
            {QStringLiteral("bad-header-block"), BlockReply::BadHeader},
            {QStringLiteral("stop-block"), BlockReply::Stop},
            {QStringLiteral("mute-block"), BlockReply::Mute},
            {QStringLiteral("late-block"), BlockReply::Late}};
        if (!parseCount(text, number)) {
            error = option + QStringLiteral(" needs a block position");
            return false;
        }
        b.addBlockFault(number, kinds.value(name));
    } else if (name == QLatin1String("nok-forever")) {
        b.nokForever = true;
    } else if (name == QLatin1String("no-final-ack")) {
        b.finalAck = FinalAck::None;
    } else if (name == QLatin1String("bad-final-ack")) {
        b.finalAck = FinalAck::BadCode;
    } else if (name == QLatin1String("bad-final-ack-crc")) {
        b.finalAck = FinalAck::BadCrc;
    } else if (name == QLatin1String("final-ack-at-once")) {
        b.finalAckWithLastReply = true;
    } else if (name == QLatin1String("pace-9600")) {
        b.pace9600 = true;
    } else if (name == QLatin1String("bursts")) {
        b.bursts = true;
    } else {
        // The numbers: --final-ack-delay, --reboot-silence, --restart-after, --burst-size,
        // --burst-gap, --piece, --work, --late-ms, --cut-at.
        if (!parseCount(text, number)) {
            error = option + QStringLiteral(" needs a number");
            return false;
        }
        if (name == QLatin1String("final-ack-delay"))
            b.finalAckDelayMs = number;
        else if (name == QLatin1String("reboot-silence"))
            b.rebootSilenceMs = number;
        else if (name == QLatin1String("restart-after"))
            b.restartAfterMs = number;
        else if (name == QLatin1String("burst-size"))
            b.burstSize = qMax(1, number);
        else if (name == QLatin1String("piece"))
            b.pieceSize = qMax(1, number);
        else if (name == QLatin1String("work"))
            b.workMs = number;
        else if (name == QLatin1String("late-ms"))
            b.lateMs = number;
        else if (name == QLatin1String("cut-at"))
            b.cutAtFrame = number;
        else
            b.burstGapMs = number;
    }
    return true;
}

// The record file first, so that --catalogue patches it.
bool finishBehaviour(const Settings &settings, Behaviour &b, QString &error)
{
    b = settings.behaviour;
    if (!settings.recordFile.isEmpty()) {
        QFile file(settings.recordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read ") + settings.recordFile;
            return false;
        }
        b.record = file.read(Behaviour::kRecordSize).leftJustified(Behaviour::kRecordSize, '\0');
    }
    const QString &catalogue = settings.catalogue;
    if (!catalogue.isEmpty()) {
        const QByteArray code = QByteArray::fromHex(catalogue.toLatin1());
        if (catalogue.size() != 6 || code.size() != 3 ||
            code.toHex() != catalogue.toLower().toLatin1()) {
            error = QStringLiteral("--catalogue needs 6 hexadecimal digits");
            return false;
        }
        b.setCatalogue(quint8(code[0]), quint8(code[1]), quint8(code[2]));
    }
    if (!settings.replayFile.isEmpty()) {
        QFile file(settings.replayFile);
        auto replies = std::make_shared<ReplyRecording>();
        QString why;
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read ") + settings.replayFile;
            return false;
        }
        // A report is a few hundred kilobytes at most; more is not one.
        constexpr qint64 kMaxReport = 64LL * 1024 * 1024;
        if (!ReplyRecording::parse(file.read(kMaxReport), *replies, why)) {
            error = settings.replayFile + QStringLiteral(": ") + why;
            return false;
        }
        b.replay = std::move(replies);
    }
    return true;
}

// Device k: the common settings, then its own --at options. Manufacturers alternate between
// the brand's two names; serial numbers count from TVX00001.
bool deviceOptions(Settings settings, const QStringList &words, int k, DeviceOptions &device,
                   QString &error)
{
    const commandline::Parsed parsed = commandline::parse(terminalOptions(), words);
    if (!parsed.unknown.isEmpty() || !parsed.positional.isEmpty()) {
        error = QStringLiteral("not an option of one device: ") +
                (parsed.unknown.isEmpty() ? parsed.positional.first() : parsed.unknown);
        return false;
    }
    if (!parsed.missingValue.isEmpty()) {
        error = parsed.missingValue + QStringLiteral(" needs a value");
        return false;
    }
    for (const commandline::Found &found : parsed.options)
        if (!applyTerminalOption(found.name, found.value, settings, error))
            return false;
    if (!finishBehaviour(settings, device.behaviour, error))
        return false;
    device.vendor = settings.vendorGiven         ? settings.vendor
                    : k % 2 == 0                 ? QStringLiteral("Tarvenix")
                                                 : QStringLiteral("Quelmo");
    device.serial = settings.serialGiven ? settings.serial
                                         : QStringLiteral("TVX%1").arg(k + 1, 5, 10, QLatin1Char('0'));
    device.description = settings.description;
    device.renumber = settings.renumber;
    device.otherSocket = settings.otherSocket;
    device.schedule = settings.schedule;
    std::stable_sort(device.schedule.begin(), device.schedule.end(),
                     [](const PlugEvent &a, const PlugEvent &b) { return a.atMs < b.atMs; });
    device.unplugged =
        settings.unplugged || (!device.schedule.isEmpty() && device.schedule.first().plugged);
    return true;
}

} // namespace

bool parseOptions(const QStringList &arguments, Options &options, QString &error)
{
    // The line is first cut where --at and -- stand, in order: the words after "--at K" belong
    // to device K up to the next --at or --, and the words after the first -- are COMMAND's.
    // QCommandLineParser keeps each option's values but not where they stood among the others,
    // nor would it stop an option's value at --at or --; each part is then read by it alone.
    QStringList shared;               // the words before any --at
    QMap<int, QStringList> perDevice; // the words after each --at K
    int at = -1;                      // the device the words go to; -1: every device
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        if (word == QLatin1String("--")) {
            options.command = arguments.mid(i + 1);
            break;
        }
        if (word == QLatin1String("--at")) {
            if (i + 1 >= arguments.size() || !parseCount(arguments.at(++i), at)) {
                error = QStringLiteral("--at needs a device position (0 = first)");
                return false;
            }
            perDevice[at]; // even with no option after it
        } else {
            (at >= 0 ? perDevice[at] : shared) << word;
        }
    }

    static const QList<commandline::Option> kOptions =
        QList<commandline::Option>{{QStringLiteral("help"), false, QStringLiteral("h")},
                                   {QStringLiteral("tty"), true},
                                   {QStringLiteral("mock")},
                                   {QStringLiteral("device"), true},
                                   {QStringLiteral("devices"), true},
                                   {QStringLiteral("save"), true},
                                   {QStringLiteral("quiet")},
                                   {QStringLiteral("control")}} +
        terminalOptions();
    const commandline::Parsed parsed = commandline::parse(kOptions, shared);
    if (!parsed.unknown.isEmpty() || !parsed.positional.isEmpty()) {
        error = QStringLiteral("unknown option: ") +
                (parsed.unknown.isEmpty() ? parsed.positional.first() : parsed.unknown);
        return false;
    }
    const QString devicesError =
        QStringLiteral("--devices needs a count from 1 to %1").arg(Options::kMaxDevices);
    if (!parsed.missingValue.isEmpty()) {
        error = parsed.missingName == QLatin1String("devices")
                    ? devicesError
                    : parsed.missingValue + QStringLiteral(" needs a value");
        return false;
    }
    Settings common;
    for (const commandline::Found &found : parsed.options) {
        const QString &name = found.name;
        if (name == QLatin1String("help")) {
            options.help = true;
        } else if (name == QLatin1String("tty")) {
            options.tty = found.value;
            options.mode = Options::Mode::Tty;
        } else if (name == QLatin1String("mock")) {
            options.mode = Options::Mode::Mock;
        } else if (name == QLatin1String("device")) {
            options.device = found.value;
            options.deviceGiven = true;
        } else if (name == QLatin1String("devices")) {
            if (!parseCount(found.value, options.deviceCount) || options.deviceCount < 1 ||
                options.deviceCount > Options::kMaxDevices) {
                error = devicesError;
                return false;
            }
        } else if (name == QLatin1String("save")) {
            options.saveDir = found.value;
        } else if (name == QLatin1String("quiet")) {
            options.quiet = true;
        } else if (name == QLatin1String("control")) {
            options.control = true;
        } else if (!applyTerminalOption(name, found.value, common, error)) {
            return false;
        }
    }
    if (options.help)
        return true;
    if (!finishBehaviour(common, options.behaviour, error))
        return false;

    if (options.mode == Options::Mode::None) {
        error = QStringLiteral("say where to serve the terminal: --tty PATH or --mock");
        return false;
    }
    if (options.mode == Options::Mode::Tty &&
        (options.deviceCount > 0 || !perDevice.isEmpty() || options.control)) {
        error = QStringLiteral("--devices, --at and --control need --mock");
        return false;
    }
    if (options.mode == Options::Mode::Mock && options.command.isEmpty()) {
        error = QStringLiteral("--mock needs a command after --");
        return false;
    }
    const int count = qMax(1, options.deviceCount);
    if (!perDevice.isEmpty() && perDevice.lastKey() >= count) {
        error = QStringLiteral("--at %1: there are %2 devices (0 to %3)")
                    .arg(perDevice.lastKey())
                    .arg(count)
                    .arg(count - 1);
        return false;
    }
    for (int k = 0; k < count; ++k) {
        DeviceOptions device;
        if (!deviceOptions(common, perDevice.value(k), k, device, error)) {
            error = QStringLiteral("device %1: ").arg(k) + error;
            return false;
        }
        options.devices.append(device);
    }
    return true;
}

QStringList deviceNames(const Options &options, qint64 pid)
{
    if (options.deviceCount == 0)
        return {options.device};
    const QString base =
        options.deviceGiven ? options.device : QStringLiteral("ttyACM%1_").arg(pid);
    QStringList names;
    for (int k = 0; k < options.deviceCount; ++k)
        names << base + QString::number(k);
    return names;
}

} // namespace sim
