// Terminal information against the simulated terminal: hardware record, its check against
// the package, application list.
#include "config/configuration.h"
#include "link/serialport.h"
#include "replies.h"
#include "simrig.h"
#include "testseam.h"

#include <QElapsedTimer>
#include <QTest>

using sim::AppEntry;
using sim::Behaviour;
using sim::Command;

namespace {

QByteArray recordOf(const Model &model)
{
    const auto &record = model.getTerminalRecord();
    return QByteArray(reinterpret_cast<const char *>(record.data()), int(record.size()));
}

} // namespace

class TestInformation : public QObject
{
    Q_OBJECT

private slots:
    void hardwareRecord_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<QString>("error");

        Behaviour plain;
        Behaviour damaged;
        damaged.damaged.insert(Command::HTerminal);
        Behaviour split; // one single-shot read takes the first piece only
        split.bursts = true;
        split.burstSize = 64;
        Behaviour refused; // a 32-byte refusal where 128 bytes are due
        refused.refused.insert(Command::HTerminal);
        Behaviour silent;
        silent.silent = true;
        QTest::newRow("valid") << plain << true << QString();
        QTest::newRow("damaged CRC") << damaged << true << QStringLiteral("checkCrc");
        QTest::newRow("split reply") << split << true << QStringLiteral("checkCrc");
        // A whole 32-byte block ends in its own CRC: with zeros behind it, the CRC over 126
        // bytes would hold.
        QTest::newRow("32-byte reply") << refused << true << QStringLiteral("checkCrc");
        QTest::newRow("silent") << silent << true << QStringLiteral("readWithTimeout");
        QTest::newRow("closed port") << plain << false << QStringLiteral("write");
    }
    // A valid reply is stored whole but its CRC; a failure leaves the previous record.
    void hardwareRecord()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, openPort);
        QFETCH(QString, error);
        Behaviour first;
        first.setCatalogue(0x12, 0x34, 0x56);
        for (int i = 0; i < Behaviour::kRecordSize; i += 7)
            first.record[i] = char(i + 1);
        Model::Timing timing = SimRig::fastTiming();
        timing.hterminalDelayMs = 150;
        SimRig rig(first, timing);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.model().getHTerminal());
        QVERIFY(timer.elapsed() >= 150); // the wait comes before the request
        QCOMPARE(recordOf(rig.model()).toHex(), first.record.toHex());
        QCOMPARE(rig.record().frames.first().bytes.toHex(), replies::request(0x07).toHex());

        behaviour.setCatalogue(0x65, 0x43, 0x21);
        rig.terminal().setBehaviour(behaviour);
        if (!openPort)
            rig.port().close();
        QCOMPARE(rig.model().getHTerminal(), error.isEmpty());
        if (error.isEmpty()) {
            QCOMPARE(recordOf(rig.model()).toHex(), behaviour.record.toHex());
            QCOMPARE(rig.log(), QStringList());
        } else {
            QCOMPARE(recordOf(rig.model()).toHex(), first.record.toHex());
            QCOMPARE(rig.log(), QStringList{QStringLiteral("getHTerminal Erreur ") + error});
        }
    }

    void coherency_data()
    {
        QTest::addColumn<QList<QByteArray>>("accepted"); // bytes 8, 9 and 10 of each record
        QTest::addColumn<bool>("expected");
        QTest::newRow("none accepted") << QList<QByteArray>() << false;
        QTest::newRow("only the second matches")
            << QList<QByteArray>{QByteArray::fromHex("123457"), QByteArray::fromHex("123456")}
            << true;
        QTest::newRow("first byte differs")
            << QList<QByteArray>{QByteArray::fromHex("133456")} << false;
        QTest::newRow("second byte differs")
            << QList<QByteArray>{QByteArray::fromHex("123556")} << false;
        QTest::newRow("third byte differs")
            << QList<QByteArray>{QByteArray::fromHex("123455")} << false;
    }
    void coherency()
    {
        QFETCH(QList<QByteArray>, accepted);
        QFETCH(bool, expected);
        Behaviour behaviour;
        behaviour.setCatalogue(0x12, 0x34, 0x56);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QVERIFY(rig.model().getHTerminal());
        for (const QByteArray &code : accepted) {
            auto *hterm = new HTerminal;
            for (int i = 0; i < 3; ++i)
                hterm->record[8 + i] = quint8(code[i]);
            hterm->record[11] = 0x56; // other bytes are not compared
            rig.model().getConfiguration()->hterms.append(hterm);
        }
        const int frames = rig.record().frames.size();
        QCOMPARE(rig.model().checkHTerminalCoherency(), expected);
        QCOMPARE(rig.log(), expected ? QStringList()
                                     : QStringList{QStringLiteral(
                                           "checkHTerminalCoherency Erreur code catalogue")});
        QCOMPARE(rig.record().frames.size(), frames); // nothing asked of the terminal
    }

    void applicationList_data()
    {
        QTest::addColumn<QList<AppEntry>>("entries");
        QTest::addColumn<QStringList>("expected");
        const QByteArray name28(28, 'N');
        QTest::newRow("end at once") << QList<AppEntry>() << QStringList();
        QTest::newRow("name and zeros")
            << QList<AppEntry>{{"ABCDE", ""}} << QStringList{QStringLiteral("ABCDE")};
        QTest::newRow("six more characters")
            << QList<AppEntry>{{"ABCDE", "123456"}} << QStringList{QStringLiteral("ABCDE123456")};
        QTest::newRow("at most six more")
            << QList<AppEntry>{{"ABCDE", "12345678"}} << QStringList{QStringLiteral("ABCDE123456")};
        QTest::newRow("never beyond byte 29")
            << QList<AppEntry>{{QByteArray(25, 'L'), "123456"}}
            << QStringList{QString(25, QLatin1Char('L')) + QStringLiteral("123")};
        QTest::newRow("name filling the record")
            << QList<AppEntry>{{name28, ""}} << QStringList{QString::fromLatin1(name28)};
        QTest::newRow("Latin-1, in order")
            << QList<AppEntry>{{"CAF\xc9", "01"}, {"EMV", ""}, {"X", "9"}}
            << QStringList{QStringLiteral("CAFÉ01"), QStringLiteral("EMV"), QStringLiteral("X9")};
    }
    void applicationList()
    {
        QFETCH(QList<AppEntry>, entries);
        QFETCH(QStringList, expected);
        Behaviour behaviour;
        behaviour.applications = entries;
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QVERIFY(rig.model().getApplications());
        QCOMPARE(rig.model().getApplicationList(), expected);
        QCOMPARE(rig.log(), QStringList());
        QCOMPARE(rig.record().frames.first().bytes.toHex(), replies::request(0x01).toHex());
    }

    // A failure keeps the entries received before it; one before the request keeps them all.
    void applicationListFailures_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("kept");

        Behaviour damaged; // the second record is damaged: the first entry stays
        damaged.damaged.insert(Command::Applications);
        Behaviour mute;
        mute.muted.insert(Command::Applications);
        QTest::newRow("damaged record") << damaged << true << QStringLiteral("checkCrc")
                                        << QStringList{QStringLiteral("MIRANDOL0301")};
        QTest::newRow("no answer")
            << mute << true << QStringLiteral("readWithTimeout") << QStringList();
        QTest::newRow("closed port") << Behaviour() << false << QStringLiteral("write")
                                     << QStringList{QStringLiteral("OLD")};
    }
    void applicationListFailures()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, openPort);
        QFETCH(QString, error);
        QFETCH(QStringList, kept);
        Behaviour before;
        before.applications = {{"OLD", ""}};
        SimRig rig(before);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QVERIFY(rig.model().getApplications());
        rig.terminal().setBehaviour(behaviour);
        if (!openPort)
            rig.port().close();
        QVERIFY(!rig.model().getApplications());
        QCOMPARE(rig.model().getApplicationList(), kept);
        QCOMPARE(rig.log(), QStringList{QStringLiteral("getApplications Erreur ") + error});
    }
};

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
