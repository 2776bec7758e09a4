// Activation and reboot against the simulated terminal.
#include "link/serialport.h"
#include "replies.h"
#include "simrig.h"

#include <QElapsedTimer>
#include <QTest>

using sim::Behaviour;
using sim::Command;

class TestActivation : public QObject
{
    Q_OBJECT

private slots:
    void acknowledged_data()
    {
        QTest::addColumn<bool>("reboot"); // rebootTerminal, else activateApplications(1)
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<QString>("line"); // empty: accepted

        for (const bool reboot : {false, true}) {
            const quint8 code = reboot ? 0x06 : 0x05;
            const Command command = reboot ? Command::Reboot : Command::Activate;
            const QString name = reboot ? QStringLiteral("rebootTerminal Erreur ")
                                        : QStringLiteral("activateApplications Erreur ");
            const char *prefix = reboot ? "reboot: " : "activate: ";
            Behaviour refused;
            refused.refused.insert(command);
            Behaviour damaged;
            damaged.damaged.insert(command);
            Behaviour mute;
            mute.muted.insert(command);
            const auto row = [prefix](const char *tag) -> QTestData & {
                return QTest::newRow(qPrintable(QLatin1String(prefix) + QLatin1String(tag)));
            };
            row("accepted") << reboot << Behaviour() << true << QString();
            row("refused") << reboot << refused << true
                           << name + QStringLiteral("_buff") + replies::dump(code, 1, 0);
            // The dump shows the CRC as computed, which is the right one.
            row("damaged") << reboot << damaged << true
                           << name + QStringLiteral("checkCrc") + replies::dump(code, 1, 0x55);
            row("no answer") << reboot << mute << true << name + QStringLiteral("readWithTimeout");
            row("closed port") << reboot << Behaviour() << false << name + QStringLiteral("write");
        }
    }
    void acknowledged()
    {
        QFETCH(bool, reboot);
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, openPort);
        QFETCH(QString, line);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        if (openPort)
            QVERIFY(rig.open());
        QCOMPARE(reboot ? rig.model().rebootTerminal() : rig.model().activateApplications(1),
                 line.isEmpty());
        QCOMPARE(rig.log(), line.isEmpty() ? QStringList() : QStringList{line});
        if (openPort)
            QCOMPARE(rig.record().frames.first().bytes.toHex(),
                     replies::request(reboot ? 0x06 : 0x05).toHex());
        QCOMPARE(rig.port().isOpen(), openPort);
    }

    // Half a second per file (shortened here) between the request and the reading of the reply.
    void activationWaitsPerFile_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("no file") << 0;
        QTest::newRow("three files") << 3;
    }
    void activationWaitsPerFile()
    {
        QFETCH(int, count);
        Model::Timing timing = SimRig::fastTiming();
        timing.perFileActivationMs = 100;
        SimRig rig(Behaviour(), timing);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.model().activateApplications(count));
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= count * 100, qPrintable(QString::number(elapsed)));
        if (count == 0)
            QVERIFY2(elapsed < 100, qPrintable(QString::number(elapsed)));
    }

    // A terminal already restarting does not answer a second reboot.
    void secondRebootUnanswered()
    {
        Behaviour behaviour;
        behaviour.rebootSilenceMs = 2000;
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QVERIFY(rig.model().rebootTerminal());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!rig.model().rebootTerminal());
        QVERIFY(timer.elapsed() >= SimRig::fastTiming().replyTimeoutMs - 20);
        QCOMPARE(rig.log(), QStringList{QStringLiteral("rebootTerminal Erreur readWithTimeout")});
        QCOMPARE(rig.record().count(Command::Reboot), 2);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "tst_activation.moc"
