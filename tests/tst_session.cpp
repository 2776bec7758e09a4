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
    void initialize_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<bool>("once");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("frames");

        Behaviour answers;
        Behaviour refusal; // any answer counts, even a refusal
        refusal.refused.insert(Command::Init);
        Behaviour oneByte; // the single-shot read sees the first byte only
        oneByte.bursts = true;
        oneByte.burstSize = 1;
        Behaviour silent;
        silent.silent = true;
        const QString read = QStringLiteral("initializeTerminal Erreur readWithTimeout");
        const QString write = QStringLiteral("initializeTerminal Erreur write");
        const QString attempts = QStringLiteral("initializeTerminal Erreur tentatives");

        QTest::newRow("answer") << answers << true << false << true << QStringList() << 1;
        QTest::newRow("refusal") << refusal << true << false << true << QStringList() << 1;
        QTest::newRow("one byte") << oneByte << true << false << true << QStringList() << 1;
        QTest::newRow("silent") << silent << true << false << false
                                << repeat(read, 3) + QStringList{attempts} << 3;
        QTest::newRow("closed port")
            << answers << false << false << false << repeat(write, 3) + QStringList{attempts} << 0;
        QTest::newRow("once: answer") << answers << true << true << true << QStringList() << 1;
        QTest::newRow("once: silent") << silent << true << true << false << QStringList{read} << 1;
        QTest::newRow("once: closed port")
            << answers << false << true << false << QStringList{write} << 0;
    }
    void initialize()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, openPort);
        QFETCH(bool, once);
        QFETCH(bool, expected);
        QFETCH(QStringList, log);
        QFETCH(int, frames);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        if (openPort)
            QVERIFY(rig.open());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(once ? rig.model().initializeTerminalOnce() : rig.model().initializeTerminal(),
                 expected);
        if (!expected && openPort) // each attempt waits out the single-shot read
            QVERIFY(timer.elapsed() >= frames * SimRig::fastTiming().replyTimeoutMs - 20);
        QCOMPARE(rig.log(), log);
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Init), frames);
        for (const sim::Frame &frame : record.frames)
            QCOMPARE(frame.bytes.toHex(), kInitFrame.toHex());
        QCOMPARE(rig.port().isOpen(), openPort); // left open whatever the outcome
    }

    void receivingApplication_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("log");

        Behaviour present;
        Behaviour absent;
        absent.receivingApp = false;
        Behaviour damaged; // the CRC of this reply is not checked
        damaged.damaged.insert(Command::Query);
        Behaviour cut; // 2F 40 02 only: neither "OK" nor the refusal
        cut.bursts = true;
        cut.burstSize = 3;
        cut.burstGapMs = 300;
        Behaviour silent;
        silent.silent = true;

        QTest::newRow("OK") << present << true << true << QStringList();
        QTest::newRow("damaged OK") << damaged << true << true << QStringList();
        QTest::newRow("refusal") << absent << true << false
                                 << QStringList{QStringLiteral("isVardelOnTerminal Erreur _buff")};
        QTest::newRow("neither") << cut << true << false << QStringList();
        QTest::newRow("silent") << silent << true << false
                                << QStringList{
                                       QStringLiteral("isVardelOnTerminal Erreur readWithTimeout")};
        QTest::newRow("closed port")
            << present << false << false
            << QStringList{QStringLiteral("isVardelOnTerminal Erreur write")};
    }
    void receivingApplication()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, openPort);
        QFETCH(bool, expected);
        QFETCH(QStringList, log);
        SimRig rig(behaviour);
        QVERIFY(rig.ready());
        if (openPort)
            QVERIFY(rig.open());
        QCOMPARE(rig.model().isVardelOnTerminal(), expected);
        QCOMPARE(rig.log(), log);
        const sim::Record record = rig.record();
        QCOMPARE(record.count(Command::Query), openPort ? 1 : 0);
        if (openPort)
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
