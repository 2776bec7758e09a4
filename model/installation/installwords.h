#pragma once

#include <QString>

enum class InstallStage;   // installresult.h
enum class InstallOutcome; // installresult.h
enum class FailureCause;   // installresult.h
struct InstallProgress;    // installresult.h

// How the values of an installation are written, one table per enum:
// - the key, stable English for files and machines (the station's JSON, the journal, the broker,
//   the report's "(key)"): "reboot-wait", "installed-unverified", "no-answer";
// - the short label, for a table cell or a live line ("redémarrage", "à vérifier");
// - the log label, for the log, the durations line and the support report ("attente du retour",
//   "installé, à vérifier").
// Every front end takes its words from here; none reads a value back from its words.
struct ValueWords
{
    const char *key;        // empty for "no cause"
    const char *shortLabel; // UTF-8
    const char *logLabel;   // UTF-8
};

const ValueWords &wordsOf(InstallStage stage);
const ValueWords &wordsOf(InstallOutcome outcome);
const ValueWords &wordsOf(FailureCause cause);

// The same, as texts.
template<typename Value>
QString keyOf(Value value)
{
    return QString::fromLatin1(wordsOf(value).key);
}
template<typename Value>
QString shortLabelOf(Value value)
{
    return QString::fromUtf8(wordsOf(value).shortLabel);
}
template<typename Value>
QString logLabelOf(Value value)
{
    return QString::fromUtf8(wordsOf(value).logLabel);
}

// Where a running installation is, in a few words: the stage's short label, with the file's
// rank in its batch during the file stages ("téléchargement 2/3").
QString progressLabel(const InstallProgress &progress);

// How many values each enum has (for the tests that walk the tables).
constexpr int kInstallStageCount = 15;
constexpr int kInstallOutcomeCount = 5;
constexpr int kFailureCauseCount = 7;
