// The command lines of vardel-station, vardel-pack and vardel-sim, read without running the
// programs: what each line sets, and the message that refuses it.
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
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
