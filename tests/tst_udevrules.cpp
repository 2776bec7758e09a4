// The packaged udev rules, run by the system's own udev (udevadm test) against mocked USB serial
// devices, and compared with what the terminal search accepts on the same devices.
//
// udevadm reads its rules from fixed folders only. It runs in a mount namespace of its own where
// those folders hold nothing but the packaged rules and two stand-ins: the systemd rule that acts
// on the uaccess tag (73-seat-late.rules) and ModemManager's candidate rule
// (80-mm-candidate.rules), so that the test also proves the rules come in the right order.
#include "link/serialport.h"
#include "mockbed.h"
#include "plainenvironment.h"

#include <QtTest>

#include <unistd.h>

namespace {

QString operator""_q(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// Run as root in the namespace: the system's rule folders hidden by empty ones, ours and the
// two stand-ins in /etc/udev/rules.d, a private /run for udev's database.
const QString kScript = R"(set -e
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /etc/udev
mkdir /etc/udev/rules.d
cp "$1"/*.rules /etc/udev/rules.d/
echo 'TAG=="uaccess", ENV{SEEN_BY_SEAT_LATE}="1"' > /etc/udev/rules.d/73-seat-late.rules
echo 'SUBSYSTEM=="tty", ENV{ID_MM_CANDIDATE}="1"' > /etc/udev/rules.d/80-mm-candidate.rules
for d in /usr/lib/udev/rules.d /usr/local/lib/udev/rules.d /lib/udev/rules.d; do
    if [ -d "$d" ]; then mount -t tmpfs tmpfs "$d"; fi
done
exec udevadm test --action=add "$2"
)"_q;

} // namespace

class TestUdevRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The system programs run without a sanitizer runtime; umockdev's preload stays.
        qputenv("LD_PRELOAD", plainEnvironment().value("LD_PRELOAD"_q).toLocal8Bit());
        // Root makes a mount namespace; anyone else needs a user namespace for it.
        if (geteuid() != 0) {
            unshare.prepend("--map-root-user"_q);
            if (QProcess::execute("unshare"_q, unshare + QStringList{"true"_q}) != 0)
                QSKIP("no user namespaces here: run as root");
        }
    }

    // The terminal search takes a port whose manufacturer, in lower case, is one of the two
    // brands; the rules must take exactly the same ports.
    void sameAsSearch_data()
    {
        QTest::addColumn<QString>("manufacturer");
        QTest::addColumn<bool>("terminal");
        QTest::newRow("Tarvenix") << "Tarvenix"_q << true; // with the next: each letter's cases
        QTest::newRow("tARVENIX") << "tARVENIX"_q << true;
        QTest::newRow("Quelmo") << "Quelmo"_q << true;
        QTest::newRow("qUELMO") << "qUELMO"_q << true;
        QTest::newRow("Tarvenix Ltd") << "Tarvenix Ltd"_q << false;
        QTest::newRow("Quelmos") << "Quelmos"_q << false;
        QTest::newRow("another maker") << "Prolific"_q << false;
    }
    void sameAsSearch()
    {
        QFETCH(QString, manufacturer);
        QFETCH(bool, terminal);
        const std::string name = "ttyUDEV" + std::to_string(getpid());
        mockbed::Testbed bed;
        QVERIFY(bed.add(mockbed::Device{name, manufacturer.toStdString(), "Terminal_USB"}));
        SerialPort port;
        QVERIFY(port.detectTerminals());
        QCOMPARE(!port.getPorts().isEmpty(), terminal);

        QProcess udevadm;
        udevadm.setProcessChannelMode(QProcess::MergedChannels);
        const QString device = QString::fromStdString(bed.sysPath(name));
        udevadm.start("unshare"_q, unshare + QStringList{"sh"_q, "-c"_q, kScript, "sh"_q,
                                                         VARDEL_UDEV_RULES_DIR ""_q, device});
        QVERIFY(udevadm.waitForFinished(30000));
        const QString output = QString::fromUtf8(udevadm.readAll());
        QVERIFY2(udevadm.exitCode() == 0, qPrintable(output));
        // Every rule file read, none with a complaint ("FILE:LINE message").
        for (const QString &file : {"60-vardel.rules"_q, "85-vardel-modemmanager.rules"_q})
            QVERIFY2(output.contains("Reading rules file: /etc/udev/rules.d/"_q + file) &&
                         !output.contains("/etc/udev/rules.d/"_q + file + ":"_q),
                     qPrintable(output));
        // The device's properties, which udevadm test prints last as KEY=value lines.
        QMap<QString, QString> properties;
        auto lines = QRegularExpression("^([A-Z_]+)=(.*)$"_q, QRegularExpression::MultilineOption)
                         .globalMatch(output);
        while (lines.hasNext()) {
            const auto line = lines.next();
            properties.insert(line.captured(1), line.captured(2));
        }
        QVERIFY2(properties.value("DEVPATH"_q) == device.mid(4), qPrintable(output));
        const QStringList expected = terminal ? QStringList{":uaccess:"_q, "1"_q, "1"_q, "0"_q}
                                              : QStringList{QString(), QString(), QString(), "1"_q};
        QCOMPARE((QStringList{properties.value("TAGS"_q), properties.value("SEEN_BY_SEAT_LATE"_q),
                              properties.value("ID_MM_DEVICE_IGNORE"_q),
                              properties.value("ID_MM_CANDIDATE"_q)}),
                 expected);
    }

private:
    QStringList unshare{"--mount"_q}; // the namespace
};

QTEST_GUILESS_MAIN(TestUdevRules)
#include "tst_udevrules.moc"
