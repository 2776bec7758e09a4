#include "options.h"

#include <QFile>

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

} // namespace

QString usage()
{
    return QStringLiteral(
        "usage: vardel-sim [options] --tty PATH\n"
        "       vardel-sim [options] --mock [--device NAME] -- COMMAND [ARGS...]\n"
        "\n"
        "A simulated payment terminal. --tty serves it on a tty or pty until interrupted;\n"
        "--mock creates a mocked USB serial device (manufacturer Tarvenix), serves the\n"
        "terminal on it and runs COMMAND against it, then exits with COMMAND's status.\n"
        "\n"
        "Terminal:\n"
        "  --catalogue HEX         catalogue code, 6 hex digits (record bytes 10 to 12)\n"
        "  --hterm-file FILE       hardware record to report: the file's first 126 bytes\n"
        "  --apps LIST             applications: NAME[:EXTRA],... (empty for none)\n"
        "  --refuse-app            the receiving application is absent (01 81)\n"
        "Faults (CMD: init query release apps info auth load activate reboot hterm data):\n"
        "  --silent                answer nothing\n"
        "  --refuse CMD            answer CMD negatively\n"
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
        "  --reboot-silence MS     deaf for MS after acknowledging a reboot\n"
        "  --pace-9600             every byte takes its time at 9600 baud, 8N1; replies are\n"
        "                          handed over in pieces (--piece N bytes, default 16), each\n"
        "                          once its last byte has crossed the line\n"
        "  --work MS               work MS on each frame before answering (a flash write)\n"
        "  --bursts                replies leave in pieces (--burst-size N, --burst-gap MS)\n"
        "Run:\n"
        "  --save DIR              write every complete download to DIR/NAME\n"
        "  --quiet                 no summary on exit\n");
}

bool parseOptions(const QStringList &arguments, Options &options, QString &error)
{
    Behaviour &b = options.behaviour;
    QString catalogue;
    QString recordFile;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        if (option == QLatin1String("--")) {
            options.command = arguments.mid(i + 1);
            break;
        }
        const auto value = [&](QString &out) {
            if (i + 1 >= arguments.size()) {
                error = option + QStringLiteral(" needs a value");
                return false;
            }
            out = arguments.at(++i);
            return true;
        };
        QString text;
        int number = 0;
        Command command;
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            options.help = true;
        } else if (option == QLatin1String("--tty")) {
            if (!value(options.tty))
                return false;
            options.mode = Options::Mode::Tty;
        } else if (option == QLatin1String("--mock")) {
            options.mode = Options::Mode::Mock;
        } else if (option == QLatin1String("--device")) {
            if (!value(options.device))
                return false;
        } else if (option == QLatin1String("--catalogue")) {
            if (!value(catalogue))
                return false;
        } else if (option == QLatin1String("--hterm-file")) {
            if (!value(recordFile))
                return false;
        } else if (option == QLatin1String("--apps")) {
            if (!value(text))
                return false;
            b.applications = parseApplications(text);
        } else if (option == QLatin1String("--refuse-app")) {
            b.receivingApp = false;
        } else if (option == QLatin1String("--silent")) {
            b.silent = true;
        } else if (option == QLatin1String("--refuse") || option == QLatin1String("--mute") ||
                   option == QLatin1String("--damage") || option == QLatin1String("--unaccept")) {
            if (!value(text))
                return false;
            if (!commandFromName(text, command)) {
                error = QStringLiteral("unknown command: ") + text;
                return false;
            }
            auto &set = option == QLatin1String("--refuse")   ? b.refused
                        : option == QLatin1String("--mute")   ? b.muted
                        : option == QLatin1String("--damage") ? b.damaged
                                                              : b.unaccepted;
            set.insert(command);
        } else if (option.endsWith(QLatin1String("-block"))) {
            static const QMap<QString, BlockReply> kinds = {
                {QStringLiteral("--nok-block"), BlockReply::Nok},
                {QStringLiteral("--bad-crc-block"), BlockReply::BadCrc},
                {QStringLiteral("--bad-header-block"), BlockReply::BadHeader},
                {QStringLiteral("--stop-block"), BlockReply::Stop},
                {QStringLiteral("--mute-block"), BlockReply::Mute},
                {QStringLiteral("--late-block"), BlockReply::Late}};
            if (!kinds.contains(option)) {
                error = QStringLiteral("unknown option: ") + option;
                return false;
            }
            if (!value(text))
                return false;
            if (!parseCount(text, number)) {
                error = option + QStringLiteral(" needs a block position");
                return false;
            }
            b.addBlockFault(number, kinds.value(option));
        } else if (option == QLatin1String("--nok-forever")) {
            b.nokForever = true;
        } else if (option == QLatin1String("--no-final-ack")) {
            b.finalAck = FinalAck::None;
        } else if (option == QLatin1String("--bad-final-ack")) {
            b.finalAck = FinalAck::BadCode;
        } else if (option == QLatin1String("--bad-final-ack-crc")) {
            b.finalAck = FinalAck::BadCrc;
        } else if (option == QLatin1String("--final-ack-at-once")) {
            b.finalAckWithLastReply = true;
        } else if (option == QLatin1String("--final-ack-delay") ||
                   option == QLatin1String("--reboot-silence") ||
                   option == QLatin1String("--burst-size") ||
                   option == QLatin1String("--burst-gap") || option == QLatin1String("--piece") ||
                   option == QLatin1String("--work") || option == QLatin1String("--late-ms")) {
            if (!value(text))
                return false;
            if (!parseCount(text, number)) {
                error = option + QStringLiteral(" needs a number");
                return false;
            }
            if (option == QLatin1String("--final-ack-delay"))
                b.finalAckDelayMs = number;
            else if (option == QLatin1String("--reboot-silence"))
                b.rebootSilenceMs = number;
            else if (option == QLatin1String("--burst-size"))
                b.burstSize = qMax(1, number);
            else if (option == QLatin1String("--piece"))
                b.pieceSize = qMax(1, number);
            else if (option == QLatin1String("--work"))
                b.workMs = number;
            else if (option == QLatin1String("--late-ms"))
                b.lateMs = number;
            else
                b.burstGapMs = number;
        } else if (option == QLatin1String("--pace-9600")) {
            b.pace9600 = true;
        } else if (option == QLatin1String("--bursts")) {
            b.bursts = true;
        } else if (option == QLatin1String("--save")) {
            if (!value(options.saveDir))
                return false;
        } else if (option == QLatin1String("--quiet")) {
            options.quiet = true;
        } else {
            error = QStringLiteral("unknown option: ") + option;
            return false;
        }
    }
    if (options.help)
        return true;

    // The record file first, so that --catalogue patches it.
    if (!recordFile.isEmpty()) {
        QFile file(recordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read ") + recordFile;
            return false;
        }
        b.record = file.read(Behaviour::kRecordSize).leftJustified(Behaviour::kRecordSize, '\0');
    }
    if (!catalogue.isEmpty()) {
        const QByteArray code = QByteArray::fromHex(catalogue.toLatin1());
        if (catalogue.size() != 6 || code.size() != 3 ||
            code.toHex() != catalogue.toLower().toLatin1()) {
            error = QStringLiteral("--catalogue needs 6 hexadecimal digits");
            return false;
        }
        b.setCatalogue(quint8(code[0]), quint8(code[1]), quint8(code[2]));
    }
    if (options.mode == Options::Mode::None) {
        error = QStringLiteral("say where to serve the terminal: --tty PATH or --mock");
        return false;
    }
    if (options.mode == Options::Mode::Mock && options.command.isEmpty()) {
        error = QStringLiteral("--mock needs a command after --");
        return false;
    }
    return true;
}

} // namespace sim
