// The ThreadSanitizer run sees the races it is there to see, and every program of ours keeps
// the project's settings wherever it is started from.
//
// vardel_plantedrace plants a race where a suppression has blinded the detector before (see
// plantedrace.cpp): on a station job's kind of thread, between QtConcurrent tasks, in a copy
// that Qt makes of a buffer being written, between the window's workers. Each is reported under
// the project's settings, and its guarded twin is not: a suppression that names a whole library
// or a frame every such stack holds (race:libQt5Core.so.5, race:QtConcurrent::, race:QByteArray)
// fails a row. Qt's copy reads the buffer in Qt Core, whose calls into the C library the detector
// ignores; the copy row is reported through tests/sanitizers/qtcopies.cpp, which every program
// of this build carries.
//
// A child started without any sanitizer variable in its environment still has the project's
// suppressions and options, which every executable carries (cmake/VardelSanitizerDefaults.cmake).
// The tests that start our programs find a child's reports with sanitizer::reports(): each kind
// is found whole in what a program writes (in any build).
#include "childsignal.h"
#include "sanitizerreport.h"

#include <QProcess>
#include <QTest>

namespace {

struct Run
{
    bool ended = false;
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The planted program, with `environment`, to its end.
Run plant(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VARDEL_PLANTED_RACE), arguments);
    Run run;
    run.ended = program.waitForFinished(120000) && program.exitStatus() == QProcess::NormalExit;
    run.status = program.exitCode();
    run.out = program.readAllStandardOutput();
    run.err = program.readAllStandardError();
    return run;
}

// This test's environment, as ctest gives it (the project's TSAN_OPTIONS among the rest), with
// nothing preloaded: the program needs no mocked device.
QProcessEnvironment asCtestGivesIt()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    return environment;
}

// An environment with no sanitizer variable at all: the locale alone.
QProcessEnvironment withoutSanitizerVariables()
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}

constexpr int kSanitizerStatus = 66; // ThreadSanitizer's exit status after a report

} // namespace

class TestRaceDetector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(kChildSignalBlocked && childsignal::takeHere()); // see childsignal.h
    }
    void init()
    {
        if (QByteArray(QTest::currentTestFunction()) == "reportsFoundWhole")
            return; // any build
#ifndef VARDEL_THREAD_SANITIZER
        QSKIP("only a ThreadSanitizer build can tell");
#endif
        QVERIFY2(qEnvironmentVariable("TSAN_OPTIONS").contains(QLatin1String("suppressions=")),
                 "run it as ctest does, with the project's TSAN_OPTIONS");
    }

    void reportsFoundWhole_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        const QString before = QStringLiteral("vardel-sim: serving 2 terminals\n"
                                              "    #0 is not a frame here, nor is a sanitizer\n");
        const QString after = QStringLiteral("frames: init 1\n");
        const QString thread = QStringLiteral(
            "==================\n"
            "WARNING: ThreadSanitizer: data race (pid=28185)\n"
            "  Read of size 4 at 0x55de9f76c064 by thread T2:\n"
            "    #0 bump ../tests/support/plantedrace.cpp:48 (vardel_plantedrace+0x5926)\n"
            "\n"
            "  Previous write of size 4 at 0x55de9f76c064 by thread T1:\n"
            "    #0 bump ../tests/support/plantedrace.cpp:48 (vardel_plantedrace+0x5926)\n"
            "\n"
            "SUMMARY: ThreadSanitizer: data race ../tests/support/plantedrace.cpp:48 in bump\n"
            "==================");
        const QString address = QStringLiteral(
            "=================================================================\n"
            "==15255==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x60200000001a\n"
            "WRITE of size 1 at 0x60200000001a thread T0\n"
            "    #0 0x55c62ccae528 in main /tmp/asan.cpp:15\n"
            "\n"
            "SUMMARY: AddressSanitizer: heap-buffer-overflow /tmp/asan.cpp:15 in main\n"
            "Shadow bytes around the buggy address:\n"
            "=>0x0c047fff8000: fa fa 00[fa]fa fa fa fa fa fa fa fa fa fa fa fa\n"
            "  Heap left redzone:       fa\n"
            "==15255==ABORTING");
        const QString leak = QStringLiteral(
            "=================================================================\n"
            "==15222==ERROR: LeakSanitizer: detected memory leaks\n"
            "\n"
            "Direct leak of 64 byte(s) in 1 object(s) allocated from:\n"
            "    #0 0x7fa8214b89cf in __interceptor_malloc asan_malloc_linux.cpp:69\n"
            "    #1 0x5628e655e206 in kept_forever() /tmp/asan.cpp:4\n"
            "\n"
            "SUMMARY: AddressSanitizer: 64 byte(s) leaked in 1 allocation(s).");
        const QString undefined = QStringLiteral(
            "model/protocol/frames.cpp:14:58: runtime error: signed integer overflow: 2147483647 + 2 "
            "cannot be represented in type 'int'\n"
            "    #0 0x55d4d390e366 in frame::crc16 model/protocol/frames.cpp:14\n"
            "    #1 0x7fe0a7e45249 in __libc_start_call_main libc_start_call_main.h:58");
        const QString bare = QStringLiteral(
            "model/protocol/frames.cpp:20:3: runtime error: load of value 7, which is not a valid value "
            "for type 'Command'");
        QTest::newRow("none") << before + after << QStringList();
        QTest::newRow("race") << before + thread + QLatin1Char('\n') + after
                              << QStringList{thread};
        QTest::newRow("overrun, its memory map") << before + address + QLatin1Char('\n')
                                                 << QStringList{address};
        QTest::newRow("leak, at the end") << before + leak << QStringList{leak};
        QTest::newRow("undefined, its stack") << before + undefined + QLatin1Char('\n') + after
                                              << QStringList{undefined};
        QTest::newRow("one after another")
            << bare + QLatin1Char('\n') + thread + QLatin1Char('\n') + leak
            << QStringList{bare, thread, leak};
    }
    // Each report whole, from its first line (the rule drawn above it included) to its last,
    // and nothing of the program's own output; the failure message names the first.
    void reportsFoundWhole()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(sanitizer::reports(text.toLocal8Bit()), expected);
        const QString message = sanitizer::reportIn(text.toLocal8Bit());
        if (expected.isEmpty()) {
            QVERIFY(message.isEmpty());
        } else {
            const QString first = expected.first();
            const int summary = first.indexOf(QLatin1String("SUMMARY: "));
            const QString named = summary >= 0
                                      ? first.mid(summary + 9).section(QLatin1Char('\n'), 0, 0)
                                      : first.section(QLatin1Char('\n'), 0, 0);
            QVERIFY2(message.contains(QString::number(expected.size())) &&
                         message.contains(named) && message.size() < 400,
                     qPrintable(message));
        }
    }

    void plantedRace_data()
    {
        QTest::addColumn<QString>("where");
        for (const char *where : {"signal", "concurrent", "copy", "workers"})
            QTest::newRow(where) << QString::fromLatin1(where);
    }
    // Reported where planted, under the project's settings: one report, a data race, with the
    // planted line in its stack. The program stops there (halt_on_error).
    void plantedRace()
    {
        QFETCH(QString, where);
        const Run run = plant({where, QStringLiteral("planted")}, asCtestGivesIt());
        QVERIFY(run.ended);
        const QStringList reports = sanitizer::reports(run.err);
        QVERIFY2(reports.size() == 1, run.err.constData());
        QVERIFY2(reports[0].contains(QLatin1String("WARNING: ThreadSanitizer: data race")) &&
                     reports[0].contains(QLatin1String("plantedrace.cpp")),
                 qPrintable(reports[0]));
        QCOMPARE(run.status, kSanitizerStatus);
        QVERIFY(run.out.isEmpty());
    }

    void guardedTwin_data() { plantedRace_data(); }
    // The same accesses under a lock: not a word from the detector, and the program counts to
    // its end.
    void guardedTwin()
    {
        QFETCH(QString, where);
        const Run run = plant({where, QStringLiteral("guarded")}, asCtestGivesIt());
        QVERIFY(run.ended);
        const QString report = sanitizer::reportIn(run.err);
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.trimmed(), QByteArray(where == QLatin1String("copy") ? "200" : "4000"));
    }

    // A child started without TSAN_OPTIONS keeps the project's settings. The hand-off of a
    // value through Qt's event queue, which the detector takes for a race, is hidden by a line
    // of tsan.supp: with only print_suppressions asked for, the detector says it matched one,
    // and with no sanitizer variable at all it says nothing. A planted race is still reported
    // there, and the program stops at it, as halt_on_error=1 has it (the detector's own
    // default goes on to the end).
    void settingsWithoutEnvironment()
    {
        QProcessEnvironment onlyListing = withoutSanitizerVariables();
        onlyListing.insert(QStringLiteral("TSAN_OPTIONS"), QStringLiteral("print_suppressions=1"));
        Run run = plant({QStringLiteral("queued"), QStringLiteral("planted")}, onlyListing);
        QVERIFY(run.ended);
        QString report = sanitizer::reportIn(run.err);
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QVERIFY2(run.err.contains("ThreadSanitizer: Matched"), run.err.constData());
        QCOMPARE(run.status, 0);

        run = plant({QStringLiteral("queued"), QStringLiteral("planted")},
                    withoutSanitizerVariables());
        QVERIFY(run.ended);
        report = sanitizer::reportIn(run.err);
        QVERIFY2(report.isEmpty(), qPrintable(report));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.trimmed(), QByteArray("2000"));

        run = plant({QStringLiteral("signal"), QStringLiteral("planted")},
                    withoutSanitizerVariables());
        QVERIFY(run.ended);
        QCOMPARE(sanitizer::reports(run.err).size(), 1);
        QCOMPARE(run.status, kSanitizerStatus);
        QVERIFY2(run.out.isEmpty(), "the program went on after the report");
    }
};

QTEST_GUILESS_MAIN(TestRaceDetector)
#include "tst_racedetector.moc"
