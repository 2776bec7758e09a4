// The command lines of vardel-station, vardel-pack and vardel-sim, read without running the
// programs: what each line sets, and the message that refuses it.
#include "options.h"
#include "packoptions.h"
#include "stationoptions.h"

#include <QTest>

namespace {

// The words of a row: separated by spaces, '' for an empty word.
QList<QByteArray> bytes(const char *line)
{
    QList<QByteArray> words;
    for (const QByteArray &word : QByteArray(line).split(' '))
        if (!word.isEmpty())
            words << (word == "''" ? QByteArray() : word);
    return words;
}

QStringList strings(const char *line)
{
    QStringList words;
    for (const QByteArray &word : bytes(line))
        words << QString::fromUtf8(word);
    return words;
}

// What a station's line set, away from the defaults, in a fixed order.
QString described(const StationOptions &o)
{
    const StationOptions defaults;
    QStringList parts;
    if (o.help)
        parts << QStringLiteral("help");
    if (!o.packageDir.isEmpty())
        parts << QStringLiteral("package=") + o.packageDir;
    if (!o.ports.isEmpty())
        parts << QStringLiteral("ports=") + o.ports.join(QLatin1Char(','));
    if (!o.jsonFile.isEmpty())
        parts << QStringLiteral("json=") + o.jsonFile;
    if (!o.journalFile.isEmpty())
        parts << QStringLiteral("journal=") + o.journalFile;
    if (o.waitSeconds != defaults.waitSeconds)
        parts << QStringLiteral("wait=%1").arg(o.waitSeconds);
    if (o.watch)
        parts << QStringLiteral("watch");
    if (o.list)
        parts << QStringLiteral("list");
    if (o.reinstall)
        parts << QStringLiteral("reinstall");
    if (!o.publishUrl.isEmpty())
        parts << QStringLiteral("publish=%1 %2:%3/%4")
                     .arg(o.publishUrl, o.broker.host)
                     .arg(o.broker.port)
                     .arg(o.broker.prefix);
    if (!o.publishCa.isEmpty())
        parts << QStringLiteral("ca=") + o.publishCa;
    if (o.flush)
        parts << QStringLiteral("flush");
    if (o.republish)
        parts << QStringLiteral("republish");
    if (o.publishInsecure)
        parts << QStringLiteral("insecure");
    if (!o.stationId.isEmpty())
        parts << QStringLiteral("id=") + o.stationId;
    return parts.join(QLatin1Char(' '));
}

// What a device of vardel-sim is told, in a fixed order: VENDOR/SERIAL, then what differs from
// a plain terminal.
QString described(const sim::DeviceOptions &d)
{
    const sim::Behaviour plain;
    const sim::Behaviour &b = d.behaviour;
    QStringList parts{d.vendor + QLatin1Char('/') + d.serial};
    if (!d.description.isEmpty())
        parts << QStringLiteral("desc=") + d.description;
    if (d.renumber)
        parts << QStringLiteral("renumber");
    if (d.otherSocket)
        parts << QStringLiteral("other-socket");
    if (d.unplugged)
        parts << QStringLiteral("unplugged");
    for (const sim::PlugEvent &event : d.schedule)
        parts << QStringLiteral("%1%2").arg(event.plugged ? '+' : '-').arg(event.atMs);
    const auto commands = [](const char *what, const std::set<sim::Command> &set) {
        QStringList names;
        for (const sim::Command command : set)
            names << sim::commandName(command);
        names.sort();
        return names.isEmpty() ? QStringList()
                               : QStringList{QLatin1String(what) + names.join(QLatin1Char(','))};
    };
    parts << commands("refuse=", b.refused) << commands("mute=", b.muted)
          << commands("damage=", b.damaged) << commands("unaccept=", b.unaccepted);
    for (auto fault = b.blockFaults.cbegin(); fault != b.blockFaults.cend(); ++fault) {
        QStringList kinds;
        for (const sim::BlockReply reply : fault.value())
            kinds << (reply == sim::BlockReply::Nok         ? QStringLiteral("nok")
                      : reply == sim::BlockReply::BadCrc    ? QStringLiteral("crc")
                      : reply == sim::BlockReply::BadHeader ? QStringLiteral("header")
                      : reply == sim::BlockReply::Stop      ? QStringLiteral("stop")
                      : reply == sim::BlockReply::Mute      ? QStringLiteral("mute")
                      : reply == sim::BlockReply::Late      ? QStringLiteral("late")
                                                            : QStringLiteral("ok"));
        parts << QStringLiteral("block%1=%2").arg(fault.key()).arg(kinds.join(QLatin1Char(',')));
    }
    if (!b.receivingApp)
        parts << QStringLiteral("no-app");
    if (b.silent)
        parts << QStringLiteral("silent");
    if (b.finalAck != plain.finalAck)
        parts << (b.finalAck == sim::FinalAck::None      ? QStringLiteral("final-ack=none")
                  : b.finalAck == sim::FinalAck::BadCode ? QStringLiteral("final-ack=bad-code")
                                                         : QStringLiteral("final-ack=bad-crc"));
    if (b.rebootSilenceMs != plain.rebootSilenceMs)
        parts << QStringLiteral("silence=%1").arg(b.rebootSilenceMs);
    if (b.pieceSize != plain.pieceSize)
        parts << QStringLiteral("piece=%1").arg(b.pieceSize);
    if (b.cutAtFrame != plain.cutAtFrame)
        parts << QStringLiteral("cut=%1").arg(b.cutAtFrame);
    if (b.record != plain.record)
        parts << QStringLiteral("record=") + QString::fromLatin1(b.record.mid(10, 3).toHex());
    QStringList lists;
    for (const auto &after : b.applicationsAfter) {
        QStringList names;
        for (const sim::AppEntry &entry : after.value_or(QList<sim::AppEntry>()))
            names << QString::fromLatin1(entry.name);
        lists << (after ? QLatin1Char('[') + names.join(QLatin1Char(',')) + QLatin1Char(']')
                        : QStringLiteral("same"));
    }
    if (!lists.isEmpty())
        parts << QStringLiteral("after=") + lists.join(QLatin1Char(';'));
    return parts.join(QLatin1Char(' '));
}

// What vardel-sim's line set: the run, then each device on a line of its own.
QString described(const sim::Options &o)
{
    QStringList parts;
    parts << (o.mode == sim::Options::Mode::Tty    ? QStringLiteral("tty=") + o.tty
              : o.mode == sim::Options::Mode::Mock ? QStringLiteral("mock")
                                                   : QStringLiteral("none"));
    if (o.help)
        parts << QStringLiteral("help");
    if (o.deviceGiven)
        parts << QStringLiteral("device=") + o.device;
    if (o.deviceCount > 0)
        parts << QStringLiteral("devices=%1").arg(o.deviceCount);
    if (o.control)
        parts << QStringLiteral("control");
    if (o.quiet)
        parts << QStringLiteral("quiet");
    if (!o.saveDir.isEmpty())
        parts << QStringLiteral("save=") + o.saveDir;
    if (!o.command.isEmpty())
        parts << QStringLiteral("command=") + o.command.join(QLatin1Char('|'));
    QString text = parts.join(QLatin1Char(' '));
    for (const sim::DeviceOptions &device : o.devices)
        text += QLatin1Char('\n') + described(device);
    return text;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    // vardel-station: each option, its value and its repetition; the words refused, with the
    // message the station prints after "vardel-station : " (and exits with 2).
    void station_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("set");   // described(), when the line is accepted
        QTest::addColumn<QString>("error"); // empty: accepted
        const auto row = [](const char *name, const char *line, const char *set,
                            const char *error) {
            QTest::newRow(name) << QByteArray(line) << QString::fromUtf8(set)
                                << QString::fromUtf8(error);
        };
        row("nothing", "", "", "");
        row("help", "--help", "help", "");
        row("short help", "-h", "help", "");
        row("every value option", "--package P --json J --journal L --wait 0 --station-id S",
            "package=P json=J journal=L wait=0 id=S", "");
        row("flags", "--list --reinstall", "list reinstall", "");
        row("watch", "--watch --wait 30", "wait=30 watch", "");
        row("ports repeat, in order", "--port ttyACM1 --port /dev/ttyACM0 --port ttyACM1",
            "ports=ttyACM1,/dev/ttyACM0,ttyACM1", "");
        row("the last value wins", "--package A --wait 3 --package B --wait 4",
            "package=B wait=4", "");
        row("a value that looks like an option", "--json --list --station-id -h",
            "json=--list id=-h", "");
        row("value after '='", "--port=ttyACM3 --wait=7", "ports=ttyACM3 wait=7", "");
        row("publish", "--publish mqtt://broker:1884/a/b --station-id st1",
            "publish=mqtt://broker:1884/a/b broker:1884/a/b id=st1", "");
        row("publish over TLS with its authority",
            "--publish mqtts://broker/x --publish-ca ca.pem",
            "publish=mqtts://broker/x broker:8883/x ca=ca.pem", "");
        row("flush", "--journal j --publish mqtt://localhost/p --flush --wait 5",
            "journal=j wait=5 publish=mqtt://localhost/p localhost:1883/p flush", "");
        row("republish, insecure",
            "--journal j --publish mqtt://b/p --republish --publish-insecure",
            "journal=j publish=mqtt://b/p b:1883/p republish insecure", "");

        row("unknown option", "--bogus", "", "option inconnue : --bogus");
        row("unknown after good ones", "--list --bogus --watch", "",
            "option inconnue : --bogus");
        row("unknown single dash", "-x", "", "option inconnue : -x");
        row("a word that is no option", "ttyACM0", "", "option inconnue : ttyACM0");
        row("a lone dash", "-", "", "option inconnue : -");
        row("end of options", "-- --list", "", "option inconnue : --");
        row("value to a flag", "--list=yes", "", "option inconnue : --list=yes");
        row("version past the first word", "--list --version", "",
            "option inconnue : --version");
        row("missing value", "--list --port", "", "l'option --port attend une valeur");
        row("missing value of a repeated option", "--port a --port", "",
            "l'option --port attend une valeur");
        row("empty value", "--json '' --list", "", "l'option --json attend une valeur");
        row("empty value after '='", "--package=", "", "l'option --package attend une valeur");
        row("wait not a number", "--wait soon", "",
            "--wait attend un nombre de secondes (0 ou plus) : soon");
        row("wait negative", "--wait -1", "",
            "--wait attend un nombre de secondes (0 ou plus) : -1");
        row("second wait bad", "--wait 2 --wait 1.5", "",
            "--wait attend un nombre de secondes (0 ou plus) : 1.5");
        row("watch and list", "--watch --list", "", "--watch et --list ne vont pas ensemble");
        row("authority without TLS", "--publish mqtt://b/p --publish-ca ca.pem", "",
            "--publish-ca ne sert qu'avec une adresse mqtts://");
        row("authority without publish", "--publish-ca ca.pem", "",
            "--publish-ca ne sert qu'avec une adresse mqtts://");
        row("flush and republish", "--journal j --publish mqtt://b/p --flush --republish", "",
            "--flush et --republish ne vont pas ensemble");
        row("flush without journal", "--publish mqtt://b/p --flush", "",
            "--flush demande --journal et --publish");
        row("republish without publish", "--journal j --republish", "",
            "--republish demande --journal et --publish");
        row("flush installs nothing", "--journal j --publish mqtt://b/p --flush --port a", "",
            "--flush n'installe rien : sans --watch, --list, --port ni --reinstall");
        row("insecure without publish", "--publish-insecure", "",
            "--publish-insecure ne sert qu'avec --publish");
        row("address not in UTF-8", "--publish mqtt://b\xe9/p", "",
            "adresse de publication incorrecte « mqtt://b\xef\xbf\xbd/p » : elle n'est pas en "
            "UTF-8 (octet 0xE9 à la position 9)");
    }

    void station()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, set);
        QFETCH(QString, error);
        StationOptions options;
        QString said;
        const bool accepted = parseStationOptions(bytes(line.constData()), options, said);
        QCOMPARE(said, error);
        QCOMPARE(accepted, error.isEmpty());
        if (accepted)
            QCOMPARE(described(options), set);
    }

    // The file names pass through as the system gave them, bytes decoded in the locale's
    // encoding, the broker's address as UTF-8.
    void stationBytes()
    {
        StationOptions options;
        QString error;
        const QByteArray name = QStringLiteral("bilan-été.json").toLocal8Bit();
        QVERIFY(parseStationOptions({"--json", name, "--publish", "mqtt://hôte/p"}, options,
                                    error));
        QCOMPARE(options.jsonFile, QString::fromLocal8Bit(name));
        QCOMPARE(options.broker.host, QStringLiteral("hôte"));
    }

    // vardel-pack: a command and its files; a line refused says why, before the usage, and
    // ends with status 2.
    void pack_data()
    {
        using Command = pack::Invocation::Command;
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("files"); // the command's words, joined by '|'
        QTest::addColumn<QString>("key");   // sign's --key; "-": none given
        QTest::addColumn<QString>("problem");
        const auto row = [](const char *name, const char *line, Command command,
                            const char *files, const char *key, const char *problem) {
            QTest::newRow(name) << QString::fromUtf8(line) << int(command)
                                << QString::fromUtf8(files) << QString::fromUtf8(key)
                                << QString::fromUtf8(problem);
        };
        row("keygen", "keygen keys", Command::Keygen, "keys", "-", "");
        row("seal", "seal plain.bin sealed.bin", Command::Seal, "plain.bin|sealed.bin", "-", "");
        row("unseal", "unseal sealed.bin plain.bin", Command::Unseal, "sealed.bin|plain.bin",
            "-", "");
        row("verify", "verify configuration", Command::Verify, "configuration", "-", "");
        row("sign with the build's key", "sign c.xml", Command::Sign, "c.xml", "-", "");
        row("sign with a key after", "sign c.xml --key k.pem", Command::Sign, "c.xml", "k.pem",
            "");
        row("sign with a key before", "sign --key k.pem c.xml", Command::Sign, "c.xml", "k.pem",
            "");
        row("sign with an empty key", "sign c.xml --key ''", Command::Sign, "c.xml", "", "");
        row("a file that starts with a dash, after --", "seal -- -in out", Command::Seal,
            "-in|out", "-", "");
        row("help", "help", Command::Help, "", "-", "");
        row("help with words after it", "help sign", Command::Help, "", "-", "");
        row("--help", "--help", Command::Help, "", "-", "");

        const char *wrong = "unknown command or wrong number of arguments";
        row("nothing", "", Command::Refused, "", "-", "no command");
        row("unknown command", "pack dir", Command::Refused, "", "-", wrong);
        row("empty command", "''", Command::Refused, "", "-", wrong);
        row("unknown option", "verify dir --bogus", Command::Refused, "", "-", wrong);
        row("-h is no option", "-h", Command::Refused, "", "-", wrong);
        row("keygen without its folder", "keygen", Command::Refused, "", "-", wrong);
        row("seal with one file", "seal plain", Command::Refused, "", "-", wrong);
        row("unseal with three files", "unseal a b c", Command::Refused, "", "-", wrong);
        row("verify with two folders", "verify a b", Command::Refused, "", "-", wrong);
        row("sign without a file", "sign --key k.pem", Command::Refused, "", "-", wrong);
        row("sign with two files", "sign a b", Command::Refused, "", "-", wrong);
        row("key without its file", "sign c.xml --key", Command::Refused, "", "-",
            "--key needs a file");
        row("two keys", "sign c.xml --key a --key b", Command::Refused, "", "-", wrong);
        row("a key to another command", "seal a b --key k", Command::Refused, "", "-", wrong);
        row("a key alone", "--key k", Command::Refused, "", "-", wrong);
    }

    void pack()
    {
        QFETCH(QString, line);
        QFETCH(QString, problem);
        const pack::Invocation invocation = pack::parseCommandLine(strings(qPrintable(line)));
        QCOMPARE(QString::fromUtf8(invocation.problem), problem);
        QTEST(int(invocation.command), "command");
        QTEST(invocation.files.join(QLatin1Char('|')), "files");
        QTEST(invocation.keyGiven ? invocation.key : QStringLiteral("-"), "key");
    }

    // vardel-sim: the run's options, the terminal options for every device and those after
    // --at K for device K alone, in the order given; a line refused says why (after
    // "vardel-sim: ", before the usage, status 2).
    void sim_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("set"); // described(), devices on lines of their own
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const char *line, const char *set,
                            const char *error) {
            QTest::newRow(name) << QString::fromUtf8(line) << QString::fromUtf8(set)
                                << QString::fromUtf8(error);
        };
        row("tty", "--tty /dev/pts/3 --quiet", "tty=/dev/pts/3 quiet\nTarvenix/TVX00001", "");
        row("help alone", "--help", "none help", "");
        row("short help, even before a bad catalogue", "-h --catalogue 1", "none help", "");
        row("mock with a command", "--mock --device ttyX --save out -- prog --mock -x",
            "mock device=ttyX save=out command=prog|--mock|-x\nTarvenix/TVX00001", "");
        row("mock with an empty command word", "--mock -- prog ''",
            "mock command=prog|\nTarvenix/TVX00001", "");
        row("devices alternate their makers",
            "--mock --devices 3 --control -- c",
            "mock devices=3 control command=c\nTarvenix/TVX00001\nQuelmo/TVX00002\n"
            "Tarvenix/TVX00003", "");
        row("options for every device, then for one",
            "--mock --devices 2 --refuse data --reboot-silence 0 --at 1 --mute init "
            "--vendor Acme --serial '' --renumber -- c",
            "mock devices=2 command=c\nTarvenix/TVX00001 refuse=data silence=0\n"
            "Acme/ renumber refuse=data mute=init silence=0", "");
        row("the same device twice adds up",
            "--mock --devices 2 --at 1 --silent --at 0 --piece 4 --at 1 --other-socket -- c",
            "mock devices=2 command=c\nTarvenix/TVX00001 piece=4\n"
            "Quelmo/TVX00002 other-socket silent", "");
        row("a device's option overrides the common one",
            "--mock --no-final-ack --at 0 --bad-final-ack-crc -- c",
            "mock command=c\nTarvenix/TVX00001 final-ack=bad-crc", "");
        row("the last final acknowledgement wins",
            "--mock --bad-final-ack-crc --no-final-ack -- c",
            "mock command=c\nTarvenix/TVX00001 final-ack=none", "");
        row("an --at with nothing after it", "--mock --devices 2 --at 1 -- c",
            "mock devices=2 command=c\nTarvenix/TVX00001\nQuelmo/TVX00002", "");
        row("plug times sorted, the first a plug: absent at the start",
            "--mock --at 0 --unplug-at 20000 --plug-at 3000 --plug-at 25000 -- c",
            "mock command=c\nTarvenix/TVX00001 unplugged +3000 -20000 +25000", "");
        row("an unplug first: present at the start",
            "--mock --unplug-at 5 --plug-at 9 -- c",
            "mock command=c\nTarvenix/TVX00001 -5 +9", "");
        row("block faults repeat in order",
            "--mock --nok-block 3 --stop-block 3 --nok-block 3 --late-block 0 -- c",
            "mock command=c\nTarvenix/TVX00001 block0=late block3=nok,stop,nok", "");
        row("application lists after each activation",
            "--mock --apps-after A,B --apps-after same --apps-after '' -- c",
            "mock command=c\nTarvenix/TVX00001 after=[A,B];same;[]", "");
        row("catalogue", "--mock --catalogue 0A1b2C -- c",
            "mock command=c\nTarvenix/TVX00001 record=0a1b2c", "");
        row("value after '='", "--mock --devices=2 --at 1 --cut-at=7 -- c",
            "mock devices=2 command=c\nTarvenix/TVX00001\nQuelmo/TVX00002 cut=7", "");
        row("a value that looks like an option", "--mock --description --quiet -- c",
            "mock command=c\nTarvenix/TVX00001 desc=--quiet", "");

        row("no mode", "--quiet", "", "say where to serve the terminal: --tty PATH or --mock");
        row("unknown option", "--mock --bogus -- c", "", "unknown option: --bogus");
        row("a word that is no option", "--mock prog -- c", "", "unknown option: prog");
        row("value to a flag", "--quiet=yes", "", "unknown option: --quiet=yes");
        row("--at with '='", "--at=1", "", "unknown option: --at=1");
        row("missing value", "--tty", "", "--tty needs a value");
        row("missing value before --", "--mock --save -- c", "", "--save needs a value");
        row("missing value before --at", "--mock --vendor --at 0 -- c", "",
            "--vendor needs a value");
        row("devices without a count", "--mock --devices", "",
            "--devices needs a count from 1 to 32");
        row("devices zero", "--mock --devices 0 -- c", "",
            "--devices needs a count from 1 to 32");
        row("devices too many", "--mock --devices 33 -- c", "",
            "--devices needs a count from 1 to 32");
        row("at without a position", "--mock --at", "",
            "--at needs a device position (0 = first)");
        row("at negative", "--mock --at -1 -- c", "",
            "--at needs a device position (0 = first)");
        row("at past the devices", "--mock --devices 2 --at 2 --silent -- c", "",
            "--at 2: there are 2 devices (0 to 1)");
        row("tty with devices", "--tty t --devices 2", "",
            "--devices, --at and --control need --mock");
        row("tty with at", "--tty t --at 0", "", "--devices, --at and --control need --mock");
        row("mock without command", "--mock --quiet", "", "--mock needs a command after --");
        row("mock with an empty command", "--mock --", "", "--mock needs a command after --");
        row("unknown command", "--mock --refuse boot -- c", "", "unknown command: boot");
        row("bad block position", "--mock --mute-block x -- c", "",
            "--mute-block needs a block position");
        row("bad time", "--mock --plug-at -5 -- c", "",
            "--plug-at needs a time in milliseconds");
        row("bad number", "--mock --work 1e3 -- c", "", "--work needs a number");
        row("bad catalogue", "--mock --catalogue 12345G -- c", "",
            "--catalogue needs 6 hexadecimal digits");
        row("unreadable record", "--mock --hterm-file /nonexistent/h.bin -- c", "",
            "cannot read /nonexistent/h.bin");
        row("a run's option for one device", "--mock --at 0 --quiet -- c", "",
            "device 0: not an option of one device: --quiet");
        row("an unknown option for one device", "--mock --at 0 --bogus -- c", "",
            "device 0: not an option of one device: --bogus");
        row("a word for one device", "--mock --at 0 word -- c", "",
            "device 0: not an option of one device: word");
        row("a device's missing value", "--mock --devices 2 --at 1 --serial -- c", "",
            "device 1: --serial needs a value");
        row("a device's bad value", "--mock --devices 2 --at 1 --cut-at x -- c", "",
            "device 1: --cut-at needs a number");
    }

    void sim()
    {
        QFETCH(QString, line);
        QFETCH(QString, set);
        QFETCH(QString, error);
        sim::Options options;
        QString said;
        const bool accepted = sim::parseOptions(strings(qPrintable(line)), options, said);
        QCOMPARE(said, error);
        QCOMPARE(accepted, error.isEmpty());
        if (accepted)
            QCOMPARE(described(options), set);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
