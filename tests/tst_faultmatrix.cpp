// Every command against every fault the simulated terminal can inject: the outcome and the
// log lines are those of the command's definition, nothing crashes or hangs, the port closes
// afterwards and the terminal can still be reached.
#include "config/configuration.h"
#include "link/serialport.h"
#include "replies.h"
#include "simrig.h"

#include <QElapsedTimer>
#include <QTest>

using sim::Behaviour;
using sim::BlockReply;
using sim::Command;
using sim::FinalAck;

namespace {

// What is run: each command alone (after what it needs), or the whole scenario.
enum class Step
{
    Init,
    InitOnce,
    Query,
    HTerminal,
    Applications,
    Info,
    Authorization,
    Load,
    Activate,
    Reboot,
    Release,
    Install,
};

enum class Fault
{
    None,
    Silent,
    Refuse, // the step's own command
    Mute,
    Damage,
    RefuseApp,
    Bursts,
    Pace,
    Rebooting, // deaf after a reboot
    NokBlock,
    BadCrcBlock,
    BadHeaderBlock,
    StopBlock,
    MuteBlock,
    NoFinalAck,
    BadFinalAck,
    BadFinalAckCrc,
    FinalAckAtOnce,
    ClosedPort, // on the host's side: the port is not open
};
constexpr int kFaults = int(Fault::ClosedPort) + 1;
const char *const kFaultNames[kFaults] = {"none",
                                          "silent",
                                          "refuse",
                                          "mute",
                                          "damage",
                                          "refuse-app",
                                          "bursts",
                                          "pace-9600",
                                          "rebooting",
                                          "nok-block",
                                          "bad-crc-block",
                                          "bad-header-block",
                                          "stop-block",
                                          "mute-block",
                                          "no-final-ack",
                                          "bad-final-ack",
                                          "bad-final-ack-crc",
                                          "final-ack-at-once",
                                          "closed port"};

struct StepInfo
{
    const char *name;
    Command command;
    quint8 code;      // block command code, 0 for the short frames
    QString prefix;   // "sendInfo Erreur "
    QString readWord; // the line of a missing reply
};

StepInfo info(Step step)
{
    const auto e = [](const char *name) {
        return QLatin1String(name) + QStringLiteral(" Erreur ");
    };
    switch (step) {
    case Step::Init:
        return {"initializeTerminal", Command::Init, 0, e("initializeTerminal"),
                QStringLiteral("readWithTimeout")};
    case Step::InitOnce:
        return {"initializeTerminalOnce", Command::Init, 0, e("initializeTerminal"),
                QStringLiteral("readWithTimeout")};
    case Step::Query:
        return {"isVardelOnTerminal", Command::Query, 0, e("isVardelOnTerminal"),
                QStringLiteral("readWithTimeout")};
    case Step::HTerminal:
        return {"getHTerminal", Command::HTerminal, 7, e("getHTerminal"),
                QStringLiteral("readWithTimeout")};
    case Step::Applications:
        return {"getApplications", Command::Applications, 1, e("getApplications"),
                QStringLiteral("readWithTimeout")};
    case Step::Info:
        return {"sendInfo", Command::Info, 2, e("sendInfo"), QStringLiteral("read")};
    case Step::Authorization:
        return {"getAuthorization", Command::Authorization, 3, e("getAuthorization"),
                QStringLiteral("read")};
    case Step::Load:
        return {"load", Command::Load, 4, e("load"), QStringLiteral("read")};
    case Step::Activate:
        return {"activateApplications", Command::Activate, 5, e("activateApplications"),
                QStringLiteral("readWithTimeout")};
    case Step::Reboot:
        return {"rebootTerminal", Command::Reboot, 6, e("rebootTerminal"),
                QStringLiteral("readWithTimeout")};
    case Step::Release:
        return {"releaseTerminals", Command::Release, 0, QString(), QString()};
    case Step::Install:
        break;
    }
    return {"install", Command::Init, 0, QString(), QString()};
}

Behaviour behaviourFor(Fault fault, Command own)
{
    Behaviour b;
    b.burstGapMs = 60; // wide enough for a single-shot read to see one piece only
    switch (fault) {
    case Fault::None:
        break;
    case Fault::Silent:
        b.silent = true;
        break;
    case Fault::Refuse:
        b.refused.insert(own);
        break;
    case Fault::Mute:
        b.muted.insert(own);
        break;
    case Fault::Damage:
        b.damaged.insert(own);
        break;
    case Fault::RefuseApp:
        b.receivingApp = false;
        break;
    case Fault::Bursts:
        b.bursts = true;
        break;
    case Fault::Pace:
        b.pace9600 = true;
        break;
    case Fault::Rebooting:
        b.rebootSilenceMs = 60000;
        break;
    case Fault::NokBlock:
        b.addBlockFault(0, BlockReply::Nok);
        break;
    case Fault::BadCrcBlock:
        b.addBlockFault(0, BlockReply::BadCrc);
        break;
    case Fault::BadHeaderBlock:
        b.addBlockFault(0, BlockReply::BadHeader);
        break;
    case Fault::StopBlock:
        b.addBlockFault(0, BlockReply::Stop);
        break;
    case Fault::MuteBlock:
        b.addBlockFault(0, BlockReply::Mute);
        break;
    case Fault::NoFinalAck:
        b.finalAck = FinalAck::None;
        break;
    case Fault::BadFinalAck:
        b.finalAck = FinalAck::BadCode;
        break;
    case Fault::BadFinalAckCrc:
        b.finalAck = FinalAck::BadCrc;
        break;
    case Fault::FinalAckAtOnce:
        b.finalAckWithLastReply = true;
        break;
    case Fault::ClosedPort:
        break;
    }
    return b;
}

struct Expected
{
    Expected(bool success = true, const QStringList &lines = {}, const QString &text = {})
        : ok(success), log(lines), title(text)
    {}
    bool ok;
    QStringList log;
    QString title; // of the scenario
};

// The outcome each command's definition gives for a fault.
Expected expected(Step step, Fault fault)
{
    const StepInfo s = info(step);
    const QString readLine = s.prefix + s.readWord;
    const bool deaf = fault == Fault::Silent || fault == Fault::Mute || fault == Fault::Rebooting;
    if (fault == Fault::ClosedPort && step != Step::Release && step != Step::Install) {
        const QString write = s.prefix + QStringLiteral("write");
        if (step == Step::Init)
            return {false, {write, write, write, s.prefix + QStringLiteral("tentatives")}};
        return {false, {write}};
    }
    switch (step) {
    case Step::Init:
        if (deaf)
            return {false, {readLine, readLine, readLine, s.prefix + QStringLiteral("tentatives")}};
        return {}; // any answer counts, refused or damaged
    case Step::InitOnce:
        return deaf ? Expected{false, {readLine}} : Expected{};
    case Step::Query:
        if (deaf)
            return {false, {readLine}};
        if (fault == Fault::Refuse || fault == Fault::RefuseApp)
            return {false, {s.prefix + QStringLiteral("_buff")}};
        return {}; // its CRC is not checked; 7 bytes fit in one piece
    case Step::HTerminal:
        if (deaf)
            return {false, {readLine}};
        if (fault == Fault::Refuse || fault == Fault::Damage || fault == Fault::Bursts)
            return {false, {s.prefix + QStringLiteral("checkCrc")}};
        return {};
    case Step::Applications:
        if (deaf)
            return {false, {readLine}};
        if (fault == Fault::Damage)
            return {false, {s.prefix + QStringLiteral("checkCrc")}};
        return {}; // a refusal is an empty list; the exact read gathers the pieces
    case Step::Release:
        return {};
    case Step::Install:
        break;
    default:
        break;
    }
    if (step == Step::Install) {
        const QString success = QStringLiteral("Installation réalisée avec succès");
        switch (fault) {
        case Fault::Silent:
        case Fault::Rebooting:
            return {false, {}, QStringLiteral("Erreur initialisation")};
        case Fault::RefuseApp:
            return {false, {}, QStringLiteral("Erreur mirandol")};
        case Fault::Bursts:
            return {false, {}, QStringLiteral("Erreur HTerminal")};
        case Fault::NoFinalAck:
        case Fault::BadFinalAck:
            return {false, {}, QStringLiteral("Erreur chargement")};
        default:
            return {true, {}, success};
        }
    }

    // Acknowledged block commands.
    if (deaf)
        return {false, {readLine}};
    const quint8 accepted = step == Step::Authorization ? 0x01 : 0x55;
    if (fault == Fault::Refuse)
        return {false, {s.prefix + QStringLiteral("_buff") + replies::dump(s.code, 1, 0)}};
    if (fault == Fault::Damage)
        return {false,
                {s.prefix + QStringLiteral("checkCrc") + replies::dump(s.code, 1, accepted)}};
    if (step == Step::Reboot && fault == Fault::Bursts) // the single-shot read gets 8 bytes
        return {false,
                {s.prefix + QStringLiteral("checkCrc") + replies::partialDump(6, 1, 0x55, 8)}};
    if (step != Step::Load)
        return {};
    switch (fault) {
    case Fault::NokBlock:
        return {true, {QStringLiteral("load Warning ACK_NOK")}};
    case Fault::BadCrcBlock:
        return {true, {QStringLiteral("load Warning checkCrc") + replies::dump(4, 1, 0x55)}};
    case Fault::BadHeaderBlock:
        return {true, {QStringLiteral("load Warning _buff") + replies::dump(4, 0, 0x55)}};
    case Fault::StopBlock:
        return {false, {QStringLiteral("load Erreur ACK_STOP")}};
    case Fault::MuteBlock:
        return {false, {QStringLiteral("load Erreur read")}};
    case Fault::NoFinalAck:
        return {false, {QStringLiteral("load Erreur readWithTimeout")}};
    case Fault::BadFinalAck:
        return {false, {QStringLiteral("load Erreur _buff") + replies::dump(4, 1, 0)}};
    case Fault::BadFinalAckCrc:
        return {true, {QStringLiteral("load Warning checkCrc") + replies::dump(4, 1, 0x55)}};
    case Fault::Bursts: // the final acknowledgement's first piece: a warning, then accepted
        return {true,
                {QStringLiteral("load Warning checkCrc") + replies::partialDump(4, 1, 0x55, 8)}};
    default:
        return {};
    }
}

} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Fault)

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private:
    // Brings the terminal to where `step` is due, with no fault yet.
    static bool prepare(SimRig &rig, Step step, Application *&file)
    {
        file = rig.application(rig.writeSealed(QStringLiteral("matrix.bin"), randomBytes(300, 9)));
        bool skipped = false;
        if (step == Step::Authorization || step == Step::Load) {
            if (!rig.model().sendInfo(file, skipped))
                return false;
        }
        if (step == Step::Load)
            return rig.model().getAuthorization();
        return true;
    }

    static bool run(SimRig &rig, Step step, Application *file, QString &title)
    {
        bool skipped = false;
        QString message;
        switch (step) {
        case Step::Init:
            return rig.model().initializeTerminal();
        case Step::InitOnce:
            return rig.model().initializeTerminalOnce();
        case Step::Query:
            return rig.model().isVardelOnTerminal();
        case Step::HTerminal:
            return rig.model().getHTerminal();
        case Step::Applications:
            return rig.model().getApplications();
        case Step::Info:
            return rig.model().sendInfo(file, skipped);
        case Step::Authorization:
            return rig.model().getAuthorization();
        case Step::Load:
            return rig.model().load(file);
        case Step::Activate:
            return rig.model().activateApplications(1);
        case Step::Reboot:
            return rig.model().rebootTerminal();
        case Step::Release:
            rig.port().setFoundPorts({rig.label()}, 0);
            rig.model().releaseTerminals();
            return true;
        case Step::Install:
            break;
        }
        return rig.model().install(rig.label(), title, message);
    }

private slots:
    void matrix_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<Fault>("fault");
        for (int s = 0; s <= int(Step::Install); ++s) {
            for (int f = 0; f < kFaults; ++f) {
                const auto step = Step(s);
                const auto fault = Fault(f);
                // The scenario has no command of its own to refuse, mute or damage: the rows
                // of each command cover those.
                if (step == Step::Install &&
                    (fault == Fault::Refuse || fault == Fault::Mute || fault == Fault::Damage))
                    continue;
                QTest::newRow(qPrintable(QStringLiteral("%1 × %2").arg(
                    QLatin1String(info(step).name), QLatin1String(kFaultNames[f]))))
                    << step << fault;
            }
        }
    }
    void matrix()
    {
        QFETCH(Step, step);
        QFETCH(Fault, fault);
        Model::Timing timing = SimRig::fastTiming();
        timing.replyTimeoutMs = 300;
        timing.finalAckTimeoutMs = 300;
        timing.rebootWaitMinMs = 100;
        SimRig rig(Behaviour(), timing);
        QVERIFY(rig.ready());
        rig.addBatch({{QStringLiteral("one.bin"), randomBytes(130, 1)},
                      {QStringLiteral("two.bin"), randomBytes(20, 2)}});
        rig.acceptTerminal();
        QVERIFY(rig.open());
        Application *file = nullptr;
        QVERIFY(prepare(rig, step, file));

        const Behaviour faulty = behaviourFor(fault, info(step).command);
        rig.terminal().setBehaviour(faulty);
        if (fault == Fault::Rebooting)
            QVERIFY(rig.model().rebootTerminal()); // acknowledged, then deaf
        if (step == Step::Install || fault == Fault::ClosedPort)
            QVERIFY(rig.port().close()); // the scenario and the release open the port themselves
        const QStringList before = rig.log();

        QElapsedTimer timer;
        timer.start();
        QString title;
        const bool ok = run(rig, step, file, title);
        QVERIFY2(timer.elapsed() < 20000, "no hang");
        const Expected want = expected(step, fault);
        QCOMPARE(ok, want.ok);
        if (step == Step::Install) {
            QCOMPARE(title, want.title);
            QVERIFY(!rig.port().isOpen()); // the scenario closes the port on every path
        } else {
            QCOMPARE(rig.log().mid(before.size()), want.log);
        }
        if (step == Step::Release) {
            const bool answered =
                fault != Fault::Silent && fault != Fault::Mute && fault != Fault::Rebooting;
            QCOMPARE(rig.record().count(Command::Release), answered ? 2 : 1);
        }

        // The port closes, and the terminal still answers once its faults are gone.
        QVERIFY(rig.port().close());
        QVERIFY(!rig.port().isOpen());
        rig.terminal().setBehaviour(Behaviour());
        QVERIFY(rig.open());
        QVERIFY(rig.model().initializeTerminalOnce());
        QVERIFY(rig.port().close());
    }
};

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
