#include "pack.h"

#include "config/configuration.h"
#include "config/picture.h"
#include "config/signature.h"
#include "crypto/sealedfile.h"
#include "system/regularfile.h"

#include <QDir>
#include <QSet>

namespace pack {
namespace {

using wording::Language;

// A path as the package maker should see it, line breaks and tabs made visible.
QString quoted(const QString &path)
{
    QString shown = path;
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
    return QLatin1Char('"') + shown + QLatin1Char('"');
}

// Why a sealed file cannot be used, with the figures found.
QString sealedProblem(SealedFile::Status status, const SealedFile &sealed)
{
    switch (status) {
    case SealedFile::Status::Ok:
        break;
    case SealedFile::Status::Unreadable:
        return sealed.failure.reason == regularfile::Failure::Reason::Missing
                   ? QStringLiteral("is missing")
                   : regularfile::describe(sealed.failure, Language::English);
    case SealedFile::Status::TooLarge:
        return QStringLiteral("has %1 bytes, more than the %2 bytes of the largest sealed file "
                              "the program can hold")
            .arg(sealed.fileSize)
            .arg(SealedFile::kMaxFileSize);
    case SealedFile::Status::TooShort:
        return QStringLiteral("is not a valid sealed file: its %1 bytes are shorter than its "
                              "4-byte header")
            .arg(sealed.fileSize);
    case SealedFile::Status::NotWholeBlocks:
        return QStringLiteral("is not a valid sealed file: its encrypted part of %1 bytes is not "
                              "a whole number of 16-byte blocks")
            .arg(sealed.fileSize - SealedFile::kHeaderSize);
    case SealedFile::Status::LengthExceedsContent:
        return QStringLiteral("is not a valid sealed file: its plain length %1 is larger than "
                              "its %2 bytes of content")
            .arg(sealed.plainLength)
            .arg(sealed.fileSize - SealedFile::kHeaderSize);
    }
    return QString();
}

// Whether the program's XML reading went through the bytes it read.
void checkXml(const Configuration &configuration, QStringList &problems)
{
    const Configuration::XmlError &error = configuration.xmlError();
    if (!error.message.isEmpty())
        problems << QStringLiteral("configuration.xml is not well-formed XML (line %1, column "
                                   "%2: %3): the program stops reading there")
                        .arg(error.line)
                        .arg(error.column)
                        .arg(error.message);
}

// The picture as the program shows it: its size read first, decoded only when it fits.
void checkImage(const Configuration::NamedFile &file, const QByteArray &bytes,
                QStringList &problems)
{
    picture::Inspection found;
    if (!file.read) {
        found.status = picture::Inspection::Status::Unreadable;
        found.failure = file.failure;
    } else if (!picture::load(bytes, file.name, &found).isNull()) {
        return;
    }
    if (found.status == picture::Inspection::Status::Unreadable &&
        found.failure.reason == regularfile::Failure::Reason::Missing)
        problems << QStringLiteral("the terminal picture %1 is missing").arg(quoted(file.path));
    else
        problems << QStringLiteral("the terminal picture %1 %2: the program shows no picture")
                        .arg(quoted(file.path), picture::describe(found));
}

void checkHTerminals(const Configuration &configuration, const QSet<QString> &refused,
                     QStringList &problems)
{
    for (const Configuration::IgnoredHTerminal &ignored : configuration.ignoredHTerminals) {
        if (refused.contains(ignored.path))
            continue;
        QString why;
        if (ignored.status == SealedFile::Status::Ok) {
            why = QStringLiteral("holds %1 bytes, more than the %2-byte record")
                      .arg(ignored.contentSize)
                      .arg(HTerminal::kRecordSize);
        } else {
            SealedFile found;
            found.failure = ignored.failure;
            found.fileSize = ignored.fileSize;
            why = sealedProblem(ignored.status, found);
        }
        problems << QStringLiteral("hardware configuration file %1 %2; the program ignores it")
                        .arg(quoted(ignored.path), why);
    }
    if (configuration.hterms.isEmpty())
        problems << QStringLiteral("no usable hardware configuration (hterm): every terminal "
                                   "would fail the hardware check");
}

// What can be advertised is the package check's (Configuration::checkNames).
void checkPackageFile(const Application &file, QStringList &problems)
{
    if (file.status != SealedFile::Status::Ok)
        problems << QStringLiteral("package file %1 %2")
                        .arg(quoted(file.path), sealedProblem(file.status, file.content));
}

// What the terminal must list after each batch, as the package declares it; nothing when no
// batch declares anything (a package of before, whose installations are not verified).
void listExpectations(const QList<Batch *> &batches, QStringList &lines)
{
    bool any = false;
    for (const Batch *batch : batches)
        any = any || !batch->expected.isEmpty();
    if (!any)
        return;
    for (int b = 0; b < batches.size(); ++b) {
        const QStringList &expected = batches.at(b)->expected;
        QStringList shown;
        for (const QString &entry : expected)
            shown << quoted(entry);
        lines << (expected.isEmpty()
                      ? QStringLiteral("batch %1 expects nothing: the terminal's list is not "
                                       "checked after it")
                            .arg(b + 1)
                      : QStringLiteral("batch %1 expects the terminal to list %2")
                            .arg(b + 1)
                            .arg(shown.join(QStringLiteral(", "))));
    }
}

} // namespace

Verdict verify(const QString &configurationDir)
{
    QString dir = configurationDir;
    if (!dir.endsWith(QLatin1Char('/')) && !dir.endsWith(QDir::separator()))
        dir += QLatin1Char('/');

    // The package read the way the program reads it: configuration.xml once, and every check
    // on those bytes; then each file it names once, and every check on those bytes.
    Verdict verdict;
    Configuration configuration(dir);
    if (!configuration.load()) {
        const regularfile::Failure &failure = configuration.readFailure();
        verdict.problems
            << (failure.reason == regularfile::Failure::Reason::Missing
                    ? QStringLiteral("%1 is missing").arg(configuration.configurationFile())
                    : QStringLiteral("%1 %2: the program refuses it")
                          .arg(configuration.configurationFile(),
                               regularfile::describe(failure, Language::English)));
        return verdict;
    }

    QStringList &problems = verdict.problems;
    checkXml(configuration, problems);
    if (!configuration.checkSignature()) {
        const signature::Verdict signatureVerdict = configuration.verdict();
        const QString why = signature::describe(signatureVerdict, Language::English,
                                                configuration.unsignedContent());
        problems << (signatureVerdict == signature::Verdict::UnsignedContent
                         ? QStringLiteral("the program refuses the file: %1").arg(why)
                         : QStringLiteral("bad signature: %1").arg(why));
    }

    // A file the program refuses is told once, with why; the other checks are for the rest.
    (void)configuration.checkFiles();
    const QVector<Configuration::NamedFile> &files = configuration.namedFiles();
    QSet<int> refused;
    QSet<QString> refusedPaths;
    for (const Configuration::FileProblem &problem : configuration.fileProblems()) {
        problems << configuration.describe(problem, Language::English);
        using Kind = Configuration::FileProblem::Kind;
        if (problem.kind != Kind::SameName && problem.kind != Kind::NotAdvertised) {
            refused.insert(problem.file);
            refusedPaths.insert(files.at(problem.file).path);
        }
    }
    if (configuration.binding() == Configuration::Binding::Unbound && !files.isEmpty())
        verdict.warnings << QStringLiteral(
            "the files are not bound to the signature (no sha256 attribute): the program "
            "installs whatever lies in the folder under their names; sign the package again to "
            "bind them");

    for (int i = 0; i < files.size(); ++i) {
        const Configuration::NamedFile &file = files.at(i);
        if (file.kind == Configuration::NamedFile::Kind::Picture && !refused.contains(i))
            checkImage(file, configuration.terminal->picture, problems);
    }
    checkHTerminals(configuration, refusedPaths, problems);
    if (configuration.getBatches().isEmpty())
        problems << QStringLiteral("no batch: the installation would refuse to start");
    for (int i = 0; i < files.size(); ++i) {
        const Configuration::NamedFile &file = files.at(i);
        if (file.application && !refused.contains(i))
            checkPackageFile(*file.application, problems);
    }
    for (const Configuration::EntryProblem &problem : configuration.entryProblems())
        problems << configuration.describe(problem, Language::English);
    listExpectations(configuration.getBatches(), verdict.expectations);
    return verdict;
}

} // namespace pack
