// The words of an installation's values: the keys stored in journals and sent to brokers stay
// what readers of those files rely on; every value has its labels; a live stage reads the same
// in the station and the window.
#include "model/installation/installresult.h"
#include "model/installation/installwords.h"
#include "replies.h"

#include <QSet>
#include <QTest>

namespace {

template<typename Value>
QStringList keysOf(int count)
{
    QStringList keys;
    for (int i = 0; i < count; ++i)
        keys << keyOf(Value(i));
    return keys;
}

template<typename Value>
void checkLabels(int count)
{
    for (int i = 0; i < count; ++i) {
        const QString shortLabel = shortLabelOf(Value(i));
        const QString logLabel = logLabelOf(Value(i));
        QVERIFY2(!shortLabel.isEmpty() && !logLabel.isEmpty(), qPrintable(keyOf(Value(i))));
        // Written as UTF-8 and read back whole: no replacement character.
        QVERIFY(!shortLabel.contains(QChar::ReplacementCharacter) &&
                !logLabel.contains(QChar::ReplacementCharacter));
    }
}

} // namespace

class TestInstallWords : public QObject
{
    Q_OBJECT

private slots:
    // Journals on disk and subscribers of the broker read these keys: a key renamed here would
    // make their earlier records unreadable to them.
    void keysStayTheSame()
    {
        QCOMPARE(keysOf<InstallStage>(kInstallStageCount),
                 QStringList({"starting"_q, "opening"_q, "initialisation"_q,
                              "receiving-application"_q, "hardware-read"_q, "hardware-check"_q,
                              "application-list"_q, "advertisement"_q, "authorisation"_q,
                              "download"_q, "activation"_q, "reboot"_q, "reboot-wait"_q,
                              "verification"_q, "finished"_q}));
        QCOMPARE(keysOf<InstallOutcome>(kInstallOutcomeCount),
                 QStringList({"updated"_q, "up-to-date"_q, "installed-unverified"_q, "failed"_q,
                              "interrupted"_q}));
        QCOMPARE(keysOf<FailureCause>(kFailureCauseCount),
                 QStringList({""_q, "package"_q, "hardware-mismatch"_q, "port-unavailable"_q,
                              "refused"_q, "bad-reply"_q, "no-answer"_q}));
        // The functions the report and the JSON use say the same.
        QCOMPARE(stageKey(InstallStage::RebootWait), "reboot-wait"_q);
        QCOMPARE(outcomeKey(InstallOutcome::InstalledUnverified), "installed-unverified"_q);
        QVERIFY(causeKey(FailureCause::None).isEmpty());
    }

    void everyValueHasItsLabels()
    {
        checkLabels<InstallStage>(kInstallStageCount);
        checkLabels<InstallOutcome>(kInstallOutcomeCount);
        checkLabels<FailureCause>(kFailureCauseCount);
        // The outcomes must be told apart at a glance, in a cell as in the log.
        QSet<QString> shortOnes, logOnes;
        for (int i = 0; i < kInstallOutcomeCount; ++i) {
            shortOnes << shortLabelOf(InstallOutcome(i));
            logOnes << logLabelOf(InstallOutcome(i));
        }
        QCOMPARE(shortOnes.size(), kInstallOutcomeCount);
        QCOMPARE(logOnes.size(), kInstallOutcomeCount);
        // A value from outside its enum (a newer or damaged one) still has words.
        QCOMPARE(logLabelOf(InstallOutcome(kInstallOutcomeCount + 3)), "interrompu"_q);
        QCOMPARE(shortLabelOf(InstallStage(-1)), "terminé"_q);
    }

    void progressLabels_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("file");
        QTest::addColumn<QString>("label");
        QTest::newRow("advertisement") << int(InstallStage::Advertisement) << 2 << "téléchargement 2/3"_q;
        QTest::newRow("authorisation") << int(InstallStage::Authorisation) << 3 << "téléchargement 3/3"_q;
        QTest::newRow("download") << int(InstallStage::Download) << 1 << "téléchargement 1/3"_q;
        QTest::newRow("receiving application")
            << int(InstallStage::ReceivingApplication) << 0 << "application Mirandol"_q;
        QTest::newRow("reboot wait") << int(InstallStage::RebootWait) << 0 << "redémarrage"_q;
        QTest::newRow("finished") << int(InstallStage::Finished) << 0 << "terminé"_q;
    }
    void progressLabels()
    {
        QFETCH(int, stage);
        QFETCH(int, file);
        QFETCH(QString, label);
        InstallProgress progress;
        progress.stage = InstallStage(stage);
        progress.file = file;
        progress.fileCount = 3;
        QCOMPARE(progressLabel(progress), label);
    }
};

QTEST_GUILESS_MAIN(TestInstallWords)
#include "tst_installwords.moc"
