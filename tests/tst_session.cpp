// Session opening against the simulated terminal: initialisation, receiving application,
// release sweep.
#include "link/serialport.h"
#include "simrig.h"

#include <QElapsedTimer>
#include <QTest>

using sim::Behaviour;
using sim::Command;

namespace {

const QByteArray kInitFrame = QByteArray::fromHex("2FC004001400C8A4FC");
const QByteArray kQueryFrame = QByteArray::fromHex("2F40030500FFC36A");

QStringList repeat(const QString &line, int times)
{
    QStringList lines;
    for (int i = 0; i < times; ++i)
        lines << line;
    return lines;
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    // The frame, its attempts and their waits. Failures of every kind: tst_faultmatrix.
    void initialize_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("once");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("frames");

        Behaviour refusal; // any answer counts, even a refusal
        refusal.refused.insert(Command::Init);
        Behaviour oneByte; // the single-shot read sees the first byte only
        oneByte.bursts = true;
        oneByte.burstSize = 1;
        Behaviour silent;
        silent.silent = true;
        const QString read = QStringLiteral("initializeTerminal Erreur readWithTimeout");
        const QString attempts = QStringLiteral("initializeTerminal Erreur tentatives");
        QTest::newRow("answer") << Behaviour() << false << true << QStringList() << 1;
        QTest::newRow("refusal") << refusal << false << true << QStringList() << 1;
        QTest::newRow("one byte") << oneByte << false << true << QStringList() << 1;
        QTest::newRow("silent: three attempts")
            << silent << false << false << repeat(read, 3) + QStringList{attempts} << 3;
        QTest::newRow("once, silent") << silent << true << false << QStringList{read} << 1;
    }
    void initialize()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, once);
        QFETCH(bool, expected);
        QFETCH(QStringList, log);
        QFETCH(int, frames);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(once ? rig.model().initializeTerminalOnce() : rig.model().initializeTerminal(),
                 expected);
        if (!expected) // each attempt waits out the single-shot read
            QVERIFY(timer.elapsed() >= frames * SimRig::fastTiming().replyTimeoutMs - 20);
        QCOMPARE(rig.log(), log);
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Init), frames);
        for (const sim::Frame &frame : record.frames)
            QCOMPARE(frame.bytes.toHex(), kInitFrame.toHex());
        QVERIFY(rig.port().isOpen()); // left open whatever the outcome
    }

    void receivingApplication_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("expected");
        Behaviour cut; // 2F 40 02 only: neither "OK" nor the refusal
        cut.bursts = true;
        cut.burstSize = 3;
        cut.burstGapMs = 300;
        QTest::newRow("OK") << Behaviour() << true;
        QTest::newRow("neither OK nor refusal: no log line") << cut << false;
    }
    void receivingApplication()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, expected);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        QVERIFY(rig.open());
        QCOMPARE(rig.model().isVardelOnTerminal(), expected);
        QCOMPARE(rig.log(), QStringList());
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Query), 1);
        QCOMPARE(record.frames.first().bytes.toHex(), kQueryFrame.toHex());
    }

    // Both release frames to every found terminal, each after an open; the port ends closed.
    void releaseSweep_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<int>("labels");
        QTest::addColumn<QStringList>("frames");

        const QString first = QStringLiteral("2fc0040014012c5644");
        const QString second = QStringLiteral("2f40030501fc8041");
        Behaviour answers;
        Behaviour mute; // no answer to the first frame: the second is not sent
        mute.muted.insert(Command::Release);
        QTest::newRow("no terminal") << answers << 0 << QStringList();
        QTest::newRow("one terminal") << answers << 1 << QStringList{first, second};
        QTest::newRow("same terminal twice")
            << answers << 2 << QStringList{first, second, first, second};
        QTest::newRow("terminal mute") << mute << 1 << QStringList{first};
    }
    void releaseSweep()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(int, labels);
        QFETCH(QStringList, frames);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        QVERIFY(rig.open()); // a sweep starts by closing whatever was open
        QStringList found;
        for (int i = 0; i < labels; ++i)
            found << rig.label();
        rig.port().setFoundPorts(found, 0);
        rig.model().releaseTerminals();
        QVERIFY(!rig.port().isOpen());
        QVERIFY(rig.port().getPortLabel().isEmpty());
        QCOMPARE(rig.log(), QStringList());
        QStringList received;
        for (const sim::Frame &frame : rig.record().frames)
            received << QString::fromLatin1(frame.bytes.toHex());
        QCOMPARE(received, frames);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
