#include "configuration.h"

#include "advertisement.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QHash>

#include <cstring>
#include <iterator>
#include <utility>

Q_LOGGING_CATEGORY(lcConfiguration, "vardel.configuration", QtInfoMsg)

Configuration::Configuration() : terminal(new Terminal), operation(new Operation) {}

Configuration::Configuration(const QString &configurationDirectory) : Configuration()
{
    fixedDirectory = configurationDirectory;
}

Configuration::~Configuration()
{
    delete terminal;
    delete operation;
    qDeleteAll(hterms);
    qDeleteAll(batches);
}

QString Configuration::directoryFor(const QString &applicationDir, QChar separator)
{
    // ".\configuration\" on Windows; on a "/" platform the same path, "./configuration/".
    return applicationDir + separator + QLatin1Char('.') + separator +
           QStringLiteral("configuration") + separator;
}

QString Configuration::directory()
{
    return directoryFor(QCoreApplication::applicationDirPath(), QDir::separator());
}

QString Configuration::filePath()
{
    return directory() + QStringLiteral("configuration.xml");
}

QString Configuration::configurationDirectory() const
{
    return fixedDirectory.isEmpty() ? directory() : fixedDirectory;
}

QString Configuration::configurationFile() const
{
    return configurationDirectory() + QStringLiteral("configuration.xml");
}

bool Configuration::load()
{
    if (!readFile())
        return false;
    parse();
    return true;
}

// One reading: what is parsed is what is checked, whatever happens to the file meanwhile.
bool Configuration::readFile()
{
    const QString searched =
        fixedDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : fixedDirectory;
    qCInfo(lcConfiguration, "Configuration::load searching in %s", searched.toLatin1().constData());
    QByteArray bytes;
    if (!regularfile::read(configurationFile(), kMaxFileSize, bytes, fileFailure)) {
        lines = QStringList{QStringLiteral("Le fichier de configuration (") + configurationFile() +
                            QStringLiteral(") ") +
                            regularfile::describe(fileFailure, wording::Language::French) +
                            QStringLiteral(" : refusé")};
        return false;
    }
    raw = bytes;
    // The signature text comes from the raw bytes, not from the XML reading.
    signature = signature::extractText(raw);
    return true;
}

void Configuration::readBytes(const QByteArray &bytes)
{
    raw = bytes;
    signature = signature::extractText(raw);
    parse();
}

bool Configuration::checkSignature()
{
    RsaPublicKey key;
    signature::builtInKey(key);
    trailer = signature::UnsignedContent();
    lastVerdict = signature::check(raw, signature, key, &trailer);
    if (lastVerdict == signature::Verdict::Valid) {
        lines.clear();
        return true;
    }
    lines = QStringList{QStringLiteral("Signature du fichier de configuration refusée : ") +
                        signature::describe(lastVerdict, wording::Language::French, trailer)};
    return false;
}

// The signature is checked on the bytes before their XML is read: a file that is not the one
// signed costs its digest, never its parsing.
bool Configuration::loadChecked()
{
    if (!readFile() || !checkSignature())
        return false;
    parse();
    return checkFiles();
}

namespace {

using wording::Language;
using wording::Text;

// The most a picture may hold: an uncompressed one of the largest size the window shows (4096
// x 4096 pixels of 4 bytes) and its header.
constexpr qint64 kMaxPictureFile = 4096LL * 4096 * 4 + 1024 * 1024;

// What a file read once is: its bytes and their digest.
struct FileRead
{
    bool read = false;
    regularfile::Failure failure;
    QByteArray bytes;
    QString digest;
};

qint64 limitFor(Configuration::NamedFile::Kind kind)
{
    return kind == Configuration::NamedFile::Kind::Picture ? kMaxPictureFile
                                                           : SealedFile::kMaxFileSize;
}

bool outsideFolder(const regularfile::Failure &failure)
{
    using Reason = regularfile::Failure::Reason;
    return failure.reason == Reason::ParentFolder || failure.reason == Reason::Absolute ||
           failure.reason == Reason::LinkOutside;
}

// Indexed by NamedFile::Kind.
constexpr Text kKinds[] = {
    {"terminal picture", "L'image du terminal"},
    {"hardware configuration file", "Le fichier de configuration matérielle"},
    {"package file", "Le fichier du package"},
};

// Indexed by FileProblem::Kind. {kind} and {path} name the file; {why} is why it could not be
// read, {expected} and {found} its signed and actual digests, {other} the file it clashes with
// in batch {batch}, under the name {name}.
constexpr Text kProblems[] = {
    {"{kind} {path} {why}", "{kind} {path} {why}"},
    {"{kind} {path} does not match the signed package: its SHA-256 is {found}, the signature "
     "gives {expected}",
     "{kind} {path} ne correspond pas au package signé : son empreinte SHA-256 est {found}, la "
     "signature donne {expected}"},
    {"{kind} {path} has no sha256 attribute while other files of the package have one: its "
     "content is not bound to the signature",
     "{kind} {path} n'a pas d'attribut sha256 alors que d'autres fichiers du package en ont un : "
     "son contenu n'est pas lié à la signature"},
    {"{kind} {path} and {other} of batch {batch} reach the terminal under the same name {name}: "
     "it would keep only one of them",
     "{kind} {path} et {other} du lot {batch} arrivent au terminal sous le même nom {name} : il "
     "n'en garderait qu'un"},
    {"{kind} {path} cannot be advertised to the terminal: its name {name} ({bytes} bytes) and "
     "length text {length} exceed {room} bytes",
     "{kind} {path} ne peut pas être annoncé au terminal : son nom {name} ({bytes} octets) et sa "
     "longueur {length} dépassent {room} octets"},
};
static_assert(std::size(kProblems) == size_t(Configuration::FileProblem::Kind::NotAdvertised) + 1,
              "one text per problem");

// Indexed by EntryProblem::Kind. {batch} is the batch's number, {entry} the entry as written,
// {length} its characters, {max} what a record holds, {character} the first one it cannot carry.
constexpr Text kEntryProblems[] = {
    {"batch {batch}: an expect element is empty: the terminal can never list it",
     "lot {batch} : un élément expect est vide : le terminal ne peut jamais le lister"},
    {"batch {batch}: the expected entry \"{entry}\" has {length} characters, more than the {max} "
     "of an entry of the terminal's application list: the terminal can never list it",
     "lot {batch} : l'entrée attendue « {entry} » a {length} caractères, plus que les {max} d'une "
     "entrée de la liste des applications du terminal : le terminal ne peut jamais la lister"},
    {"batch {batch}: the expected entry \"{entry}\" holds the character {character}, which an "
     "entry of the terminal's application list cannot carry: the terminal can never list it",
     "lot {batch} : l'entrée attendue « {entry} » contient le caractère {character}, qu'une "
     "entrée de la liste des applications du terminal ne peut pas porter : le terminal ne peut "
     "jamais la lister"},
};
static_assert(std::size(kEntryProblems) ==
                  size_t(Configuration::EntryProblem::Kind::NotListable) + 1,
              "one text per problem");

// The first character of `entry` that an application record cannot carry: not Latin-1, or a
// control character (the record's text ends at its first zero byte). -1: none.
int unlistableAt(const QString &entry)
{
    for (int i = 0; i < entry.size(); ++i) {
        const ushort c = entry.at(i).unicode();
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c > 0xFF)
            return i;
    }
    return -1;
}

// A package signed before its files carried digests: installed as before, and the log says so.
const QString kUnboundLine =
    QStringLiteral("Les fichiers de ce package ne sont pas liés à sa signature (aucun attribut "
                   "sha256) : leur contenu est installé sans être contrôlé");

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

QString Configuration::configurationSha256() const
{
    return raw.isNull() ? QString() : sha256(raw);
}

QString Configuration::describe(const FileProblem &problem, Language language) const
{
    const NamedFile &file = files.at(problem.file);
    const NamedFile *other = problem.other >= 0 ? &files.at(problem.other) : nullptr;
    const QString kind = kKinds[int(file.kind)].in(language);
    // What the advertisement of a scenario's file would carry.
    const advertisement::Advertisement advert = advertisement::of(
        file.path, file.application ? file.application->content.plainLength : 0);
    const bool named = other || problem.kind == FileProblem::Kind::NotAdvertised;
    const auto quoted = [](const QString &path) {
        QString shown = path;
        shown.replace(QLatin1Char('\n'), QLatin1String("\\n"))
            .replace(QLatin1Char('\r'), QLatin1String("\\r"))
            .replace(QLatin1Char('\t'), QLatin1String("\\t"));
        return QLatin1Char('"') + shown + QLatin1Char('"');
    };
    return kProblems[int(problem.kind)]
        .in(language)
        .replace(QLatin1String("{kind}"), kind)
        .replace(QLatin1String("{expected}"), file.digest)
        .replace(QLatin1String("{found}"), file.found)
        .replace(QLatin1String("{batch}"), QString::number(file.batch + 1))
        .replace(QLatin1String("{bytes}"), QString::number(advert.encodedName.size()))
        .replace(QLatin1String("{length}"), QString::fromLatin1(advert.lengthText))
        .replace(QLatin1String("{room}"), QString::number(advertisement::kRoom))
        .replace(QLatin1String("{name}"), named ? advert.name : QString())
        .replace(QLatin1String("{why}"), regularfile::describe(file.failure, language))
        .replace(QLatin1String("{other}"), other ? quoted(other->path) : QString())
        .replace(QLatin1String("{path}"), quoted(file.path));
}

bool Configuration::listable(const QString &entry, EntryProblem::Kind &why)
{
    if (entry.isEmpty())
        why = EntryProblem::Kind::Empty;
    else if (entry.size() > kMaxEntryLength)
        why = EntryProblem::Kind::TooLong;
    else if (unlistableAt(entry) >= 0)
        why = EntryProblem::Kind::NotListable;
    else
        return true;
    return false;
}

QString Configuration::describe(const EntryProblem &problem, Language language) const
{
    const QString entry = batches.at(problem.batch)->expected.at(problem.entry);
    const int at = unlistableAt(entry);
    const QString character =
        at < 0 ? QString()
               : QStringLiteral("U+%1").arg(entry.at(at).unicode(), 4, 16, QLatin1Char('0')).toUpper();
    QString shown = entry;
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
    return kEntryProblems[int(problem.kind)]
        .in(language)
        .replace(QLatin1String("{batch}"), QString::number(problem.batch + 1))
        .replace(QLatin1String("{length}"), QString::number(entry.size()))
        .replace(QLatin1String("{max}"), QString::number(kMaxEntryLength))
        .replace(QLatin1String("{character}"), character)
        .replace(QLatin1String("{entry}"), shown);
}

QStringList Configuration::problemTexts(Language language) const
{
    QStringList texts;
    for (const FileProblem &problem : problems)
        texts << describe(problem, language);
    for (const EntryProblem &problem : badEntries)
        texts << describe(problem, language);
    return texts;
}

// Every entry a batch expects must be one a terminal can list: a batch that expects what can
// never be listed could never be verified.
void Configuration::checkEntries()
{
    badEntries.clear();
    for (int b = 0; b < batches.size(); ++b) {
        const QStringList &expected = batches.at(b)->expected;
        for (int e = 0; e < expected.size(); ++e) {
            EntryProblem::Kind why;
            if (!listable(expected.at(e), why))
                badEntries.append({why, b, e});
        }
    }
}

bool Configuration::checkFiles()
{
    problems.clear();
    ignoredHTerminals.clear();
    qDeleteAll(hterms);
    hterms.clear();
    terminal->picture.clear();

    int withDigest = 0;
    for (const NamedFile &file : files)
        withDigest += file.hasDigest ? 1 : 0;
    fileBinding = withDigest == files.size() ? Binding::Bound
                  : withDigest == 0          ? Binding::Unbound
                                             : Binding::Mixed;

    // Each file once, however many elements name it; its digest is taken before anything else
    // is done with its bytes.
    QHash<QString, FileRead> reads;
    for (NamedFile &file : files) {
        FileRead &read = reads[file.name];
        if (!read.read && !read.failure.failed()) {
            read.read = regularfile::readInside(configurationDirectory(), file.name,
                                                limitFor(file.kind), read.bytes, read.failure);
            read.digest = read.read ? sha256(read.bytes) : QString();
        }
        file.read = read.read;
        file.failure = read.failure;
        file.found = read.digest;
        file.size = read.read ? read.bytes.size() : -1;
    }

    // A file outside the folder is never acceptable; one that is missing or differs from its
    // digest is not when the files are bound to the signature.
    for (int i = 0; i < files.size(); ++i) {
        const NamedFile &file = files.at(i);
        if (!file.read && (fileBinding != Binding::Unbound || outsideFolder(file.failure)))
            problems.append({FileProblem::Kind::Unreadable, i, -1});
        else if (file.read && file.hasDigest && file.digest != file.found)
            problems.append({FileProblem::Kind::DigestMismatch, i, -1});
        else if (!file.hasDigest && fileBinding == Binding::Mixed)
            problems.append({FileProblem::Kind::NoDigest, i, -1});
    }

    // Then what the program uses of each: the scenario's files last, so that their bytes, held
    // by nothing else by then, are decrypted where they lie.
    for (const NamedFile &file : files) {
        if (file.kind != NamedFile::Kind::PackageFile)
            useFile(file, reads.value(file.name).bytes);
    }
    QHash<QString, const Application *> decoded;
    for (const NamedFile &file : files) {
        if (file.kind != NamedFile::Kind::PackageFile)
            continue;
        if (const Application *same = decoded.value(file.name)) {
            file.application->status = same->status;
            file.application->content = same->content;
        } else if (file.read) {
            file.application->setContent(std::move(reads[file.name].bytes));
            decoded.insert(file.name, file.application);
        } else {
            file.application->setUnreadable(file.failure);
        }
    }
    reads.clear();
    checkNames();
    checkEntries();

    lines = problemTexts(Language::French);
    if (lines.isEmpty() && fileBinding == Binding::Unbound && !files.isEmpty())
        lines << kUnboundLine;
    return problems.isEmpty() && badEntries.isEmpty();
}

void Configuration::useFile(const NamedFile &file, const QByteArray &bytes)
{
    if (file.kind == NamedFile::Kind::Picture)
        terminal->picture = bytes;
    else
        useHTerminal(file, bytes);
}

void Configuration::useHTerminal(const NamedFile &file, const QByteArray &bytes)
{
    SealedFile sealed;
    sealed.failure = file.failure;
    sealed.fileSize = file.failure.size;
    using Reason = regularfile::Failure::Reason;
    const bool tooLarge =
        file.failure.reason == Reason::TooLarge || file.failure.reason == Reason::NoMemory;
    const SealedFile::Status status = file.read  ? SealedFile::decode(bytes, sealed, false)
                                      : tooLarge ? SealedFile::Status::TooLarge
                                                 : SealedFile::Status::Unreadable;
    if (status != SealedFile::Status::Ok) {
        ignoredHTerminals.append({file.path, status, 0, sealed.failure, sealed.fileSize});
        return;
    }
    // The first L decrypted bytes (all of them when L is not smaller), into a zero-filled
    // record; a content that does not fit the record is not taken at all.
    const QByteArray content = sealed.plain();
    if (content.size() > HTerminal::kRecordSize) {
        ignoredHTerminals.append(
            {file.path, status, content.size(), sealed.failure, sealed.fileSize});
        return;
    }
    auto *hterm = new HTerminal;
    std::memcpy(hterm->record.data(), content.constData(), size_t(content.size()));
    hterms.append(hterm);
}

// A file that cannot be advertised cannot be sent: an installation without it would be told
// as a success. Two files of one batch that the terminal would receive under the same name: it
// keeps the last, and the first is lost although the run says it was installed.
void Configuration::checkNames()
{
    QHash<QPair<int, QByteArray>, int> sent; // (batch, advertised name) -> file
    for (int i = 0; i < files.size(); ++i) {
        const NamedFile &file = files.at(i);
        const Application *application = file.application;
        if (!application || (application->status != SealedFile::Status::Ok &&
                             application->status != SealedFile::Status::NotWholeBlocks &&
                             application->status != SealedFile::Status::LengthExceedsContent))
            continue;
        const advertisement::Advertisement advert =
            advertisement::of(file.path, application->content.plainLength);
        if (!advert.fits()) {
            problems.append({FileProblem::Kind::NotAdvertised, i, -1});
            continue;
        }
        const auto key = qMakePair(file.batch, advert.encodedName);
        const auto earlier = sent.constFind(key);
        if (earlier == sent.constEnd())
            sent.insert(key, i);
        else
            problems.append({FileProblem::Kind::SameName, *earlier, i});
    }
}
