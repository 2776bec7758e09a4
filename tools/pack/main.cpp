// vardel-pack: what a package maker uses to prepare the package an operator installs.

#include "crypto/sealedfile.h"
#include "pack.h"
#include "packoptions.h"
#include "system/regularfile.h"
#include "system/versionoption.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int fail(const QString &message)
{
    std::fprintf(stderr, "vardel-pack: %s\n", qUtf8Printable(message));
    return kExitFailed;
}

int usage(const char *problem)
{
    std::fprintf(stderr, "vardel-pack: %s\n%s", problem, pack::kUsage);
    return kExitUsage;
}

int keygen(const QString &dir)
{
    QString error;
    if (!pack::generateKeys(dir, error))
        return fail(error);
    std::printf("wrote %s, %s and %s in %s\n"
                "build the program with -DVARDEL_KEY_DIR=%s; keep %s secret\n",
                qUtf8Printable(pack::kPackageKeyFile), qUtf8Printable(pack::kSigningModulusFile),
                qUtf8Printable(pack::kSigningPrivateFile), qUtf8Printable(dir), qUtf8Printable(dir),
                qUtf8Printable(pack::kSigningPrivateFile));
    return kExitOk;
}

int seal(const QString &plainPath, const QString &sealedPath)
{
    QByteArray sealed;
    QString error;
    if (!pack::sealFile(plainPath, sealed, error) || !pack::writeFile(sealedPath, sealed, error))
        return fail(error);
    return kExitOk;
}

int unseal(const QString &sealedPath, const QString &plainPath)
{
    SealedFile sealed;
    const SealedFile::Status status = SealedFile::read(sealedPath, sealed, true);
    switch (status) {
    case SealedFile::Status::Ok:
        break;
    case SealedFile::Status::Unreadable:
        return fail(QStringLiteral("cannot read %1: it %2")
                        .arg(sealedPath,
                             regularfile::describe(sealed.failure, wording::Language::English)));
    case SealedFile::Status::TooLarge:
        if (sealed.failure.reason == regularfile::Failure::Reason::NoMemory)
            return fail(QStringLiteral("cannot unseal %1: its %2 bytes need more memory than is "
                                       "available")
                            .arg(sealedPath)
                            .arg(sealed.fileSize));
        return fail(QStringLiteral("cannot unseal %1: it has %2 bytes, more than the %3 bytes "
                                   "of the largest sealed file vardel-pack can hold")
                        .arg(sealedPath)
                        .arg(sealed.fileSize)
                        .arg(SealedFile::kMaxFileSize));
    case SealedFile::Status::TooShort:
        return fail(QStringLiteral("%1 is not a sealed file: it has %2 bytes, fewer than a "
                                   "sealed file's 4-byte header")
                        .arg(sealedPath)
                        .arg(sealed.fileSize));
    case SealedFile::Status::NotWholeBlocks:
        return fail(QStringLiteral("%1 is not a sealed file: its encrypted part of %2 bytes is "
                                   "not a whole number of 16-byte blocks")
                        .arg(sealedPath)
                        .arg(sealed.fileSize - SealedFile::kHeaderSize));
    case SealedFile::Status::LengthExceedsContent:
        return fail(QStringLiteral("%1 is not a sealed file: its plain length %2 is larger "
                                   "than its %3 bytes of content")
                        .arg(sealedPath)
                        .arg(sealed.plainLength)
                        .arg(sealed.fileSize - SealedFile::kHeaderSize));
    }
    QString error;
    if (!pack::writeFile(plainPath, sealed.plain(), error))
        return fail(error);
    return kExitOk;
}

int sign(const QString &configPath, const QString &keyPath)
{
    QByteArray pem;
    QByteArray xml;
    QByteArray signedXml;
    RsaPrivateKey key;
    QString error;
    if (!pack::readFile(keyPath, pem, error) || !pack::readFile(configPath, xml, error))
        return fail(error);
    if (!pack::privateKeyFromPem(pem, key, error))
        return fail(QStringLiteral("%1: %2").arg(keyPath, error));
    const QString directory = QFileInfo(configPath).absolutePath() + QLatin1Char('/');
    if (!pack::sign(xml, directory, key, signedXml, error))
        return fail(QStringLiteral("%1: %2").arg(configPath, error));
    if (!pack::writeFile(configPath, signedXml, error))
        return fail(error);
    if (!pack::isBuiltInKey(key))
        std::fprintf(stderr,
                     "vardel-pack: warning: %s is not the key this build holds; only a "
                     "program built with its public half accepts the file\n",
                     qUtf8Printable(keyPath));
    return kExitOk;
}

int verify(const QString &dir)
{
    const pack::Verdict verdict = pack::verify(dir);
    for (const QString &expectation : verdict.expectations)
        std::printf("%s\n", qUtf8Printable(expectation));
    for (const QString &problem : verdict.problems)
        std::printf("problem: %s\n", qUtf8Printable(problem));
    for (const QString &warning : verdict.warnings)
        std::printf("warning: %s\n", qUtf8Printable(warning));
    if (verdict.problems.isEmpty()) {
        std::printf("%s: the package is clean%s\n", qUtf8Printable(dir),
                    verdict.warnings.isEmpty() ? "" : ", with warnings");
        return kExitOk;
    }
    std::printf("%s: %lld problem(s)\n", qUtf8Printable(dir), qint64(verdict.problems.size()));
    return kExitFailed;
}

int run(const QStringList &args);

} // namespace

int main(int argc, char *argv[])
{
    if (versionoption::asked(argc, argv))
        return versionoption::print("vardel-pack");
    QCoreApplication application(argc, argv);
    // The reader's developer trace is noise here.
    QLoggingCategory::setFilterRules(QStringLiteral("vardel.configuration.info=false"));
    const int status = run(QCoreApplication::arguments().mid(1));
    // What was printed must have reached its destination too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "vardel-pack: cannot write the standard output: %s\n",
                     std::strerror(errno));
        return kExitFailed;
    }
    return status;
}

namespace {

int run(const QStringList &args)
{
    const pack::Invocation invocation = pack::parseCommandLine(args);
    const QStringList &files = invocation.files;
    switch (invocation.command) {
    case pack::Invocation::Command::Refused:
        break;
    case pack::Invocation::Command::Help:
        std::printf("%s", pack::kUsage);
        return kExitOk;
    case pack::Invocation::Command::Keygen:
        return keygen(files[0]);
    case pack::Invocation::Command::Seal:
        return seal(files[0], files[1]);
    case pack::Invocation::Command::Unseal:
        return unseal(files[0], files[1]);
    case pack::Invocation::Command::Sign:
        return sign(files[0], invocation.keyGiven ? invocation.key
                                                  : QStringLiteral(VARDEL_SIGNING_PRIVATE_KEY));
    case pack::Invocation::Command::Verify:
        return verify(files[0]);
    }
    return usage(invocation.problem);
}

} // namespace
