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
    // The requests and the accepted replies. Failures of every kind: tst_faultmatrix.
    void accepted_data()
    {
        QTest::addColumn<bool>("reboot"); // rebootTerminal, else activateApplications(1)
        QTest::newRow("activate") << false;
        QTest::newRow("reboot") << true;
    }
    void accepted()
    {
        QFETCH(bool, reboot);
        SimRig rig;
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QVERIFY(reboot ? rig.model().rebootTerminal() : rig.model().activateApplications(1));
        QCOMPARE(rig.log(), QStringList());
        QCOMPARE(rig.record().frames.first().bytes.toHex(),
                 replies::request(reboot ? 0x06 : 0x05).toHex());
        QVERIFY(rig.port().isOpen());
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
