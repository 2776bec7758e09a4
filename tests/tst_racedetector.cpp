// The ThreadSanitizer run sees races on the station's threads. A data race planted on a thread
// started as a station job starts its own, in a handler a signal calls directly, is reported
// under the project's ThreadSanitizer settings (TSAN_OPTIONS and its suppressions, as ctest
// gives them to every test); the same program with the count guarded is not. A suppression that
// names a whole Qt library again blinds the detector to the first case, and fails this test.
#include "childsignal.h"

#include <QProcess>
#include <QTest>

class TestRaceDetector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(kChildSignalBlocked && childsignal::takeHere()); // see childsignal.h
    }

    void plantedRace_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("reported");
        QTest::newRow("planted") << QStringLiteral("planted") << true;
        QTest::newRow("guarded") << QStringLiteral("guarded") << false;
    }
    void plantedRace()
    {
#ifndef VARDEL_THREAD_SANITIZER
        QSKIP("only a ThreadSanitizer build can tell");
#endif
        QFETCH(QString, mode);
        QFETCH(bool, reported);
        QVERIFY2(qEnvironmentVariable("TSAN_OPTIONS").contains(QLatin1String("suppressions=")),
                 "run it as ctest does, with the project's TSAN_OPTIONS");
        QProcess program;
        // Nothing preloaded: the program needs no mocked device.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("LD_PRELOAD"));
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(VARDEL_PLANTED_RACE), {mode});
        QVERIFY(program.waitForFinished(120000));
        const QString said = QString::fromLocal8Bit(program.readAllStandardError());
        const bool report = said.contains(QLatin1String("WARNING: ThreadSanitizer: data race")) &&
                            said.contains(QLatin1String("plantedrace.cpp"));
        QVERIFY2(report == reported, qPrintable(said));
        QCOMPARE(program.exitCode(), reported ? 66 : 0); // ThreadSanitizer's exit status
    }
};

QTEST_GUILESS_MAIN(TestRaceDetector)
#include "tst_racedetector.moc"
