#pragma once

#include "crypto/sealedfile.h"
#include "records.h"
#include "signature.h"
#include "system/regularfile.h"
#include "system/wording.h"

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

Q_DECLARE_LOGGING_CATEGORY(lcConfiguration)

// The in-memory form of configuration.xml and of the files it names: the package. Written once
// (load(), checkSignature(), checkFiles()), then only read; a loaded package may be shared by
// several Models (the station's terminals), each reading the same bytes.
//
// Every file the package uses is read once, by checkFiles(), and only those bytes are used
// afterwards: the picture the window shows, the hardware records of the coherency check and the
// decrypted content of every file of the scenario. A package signed with the digests of its
// files (a sha256 attribute on every element that names one) is refused when a file differs
// from its digest, is missing or cannot be read.
class Configuration : public QObject
{
    Q_OBJECT

public:
    // A file that configuration.xml names and the program uses: the terminal's picture (the
    // last image of a terminal), each hardware record and each file of the scenario, in the
    // order of the document.
    struct NamedFile
    {
        enum class Kind
        {
            Picture,
            HardwareRecord,
            PackageFile,
        };
        Kind kind = Kind::PackageFile;
        QString name; // the element's text, relative to the configuration directory
        QString path; // configuration directory + name
        bool hasDigest = false;
        QString digest; // its sha256 attribute, as written
        // Where its start tag lies in the text the XML reader read (vardel-pack sign writes
        // the digest there).
        int tagStart = 0;
        int tagEnd = 0;
        Application *application = nullptr; // a file of the scenario: its record
        int batch = -1;                     // and the index of its batch

        // What checkFiles() found.
        bool read = false;
        regularfile::Failure failure; // why it could not be read
        QString found;                // SHA-256 of the bytes read, lower-case hexadecimal
        qint64 size = -1;             // bytes read; -1: none
    };

    // Whether the package's files are bound to its signature: every named file carries its
    // digest, none does (a package signed before digests existed), or some do and some do not.
    enum class Binding
    {
        Bound,
        Unbound,
        Mixed,
    };

    // Why a named file makes the package invalid.
    struct FileProblem
    {
        enum class Kind
        {
            Unreadable,     // missing, not a regular file, outside the folder...: `failure`
            DigestMismatch, // its digest is not the signed one
            NoDigest,       // it has none, while other files of the package have one
            SameName,       // the terminal receives it and `other` under the same name
            NotAdvertised,  // its name and length do not fit the advertisement (advertisement.h)
        };
        Kind kind = Kind::Unreadable;
        int file = -1;  // index in namedFiles()
        int other = -1; // SameName: the other file's index
    };

    // An expect element whose entry no terminal can ever list (an application record carries
    // at most 28 characters of Latin-1 text, up to its first zero byte).
    struct EntryProblem
    {
        enum class Kind
        {
            Empty,
            TooLong,      // more characters than an application record holds
            NotListable,  // a character that is not Latin-1, or a control character
        };
        Kind kind = Kind::Empty;
        int batch = -1; // index in getBatches()
        int entry = -1; // index in that batch's `expected`
    };
    // The most characters an entry of the application list holds: bytes 2 to 29 of its record.
    static constexpr int kMaxEntryLength = 28;
    // Whether `entry` is text a terminal can list, and why not.
    static bool listable(const QString &entry, EntryProblem::Kind &why);

    // An hterm element that added no HTerminal, and why.
    struct IgnoredHTerminal
    {
        QString path;
        SealedFile::Status status;    // Ok when the file is sealed but its content is too long
        int contentSize = 0;          // bytes kept from the file when it was too long
        regularfile::Failure failure; // why it could not be read (Unreadable, TooLarge)
        qint64 fileSize = -1;
    };

    // Reads the configuration directory of the program (directory()).
    Configuration();
    // Reads `configurationDirectory` instead, which ends with a separator: for vardel-pack,
    // which checks a package before it ships, for the station's --package and for the tests.
    explicit Configuration(const QString &configurationDirectory);
    ~Configuration() override;

    // The configuration directory: application directory, separator, then ".\configuration\"
    // written with the platform's separator. directoryFor() is the rule itself.
    static QString directory();
    static QString directoryFor(const QString &applicationDir, QChar separator);
    static QString filePath(); // directory() + "configuration.xml"

    // The directory this object reads, and its configuration.xml.
    QString configurationDirectory() const;
    QString configurationFile() const;

    // The most configuration.xml may hold; a larger file is refused unread.
    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

    // True when configuration.xml could be read, however much of it could be parsed. The file
    // is read once, whole, and only when it is a regular file of at most kMaxFileSize bytes;
    // the XML reading, the signature text and checkSignature() all work on those bytes.
    [[nodiscard]] bool load();
    // True when the stored signature is that of the bytes load() read, under the built-in
    // public key, and nothing unsigned follows it.
    [[nodiscard]] bool checkSignature();
    // Reads every named file once, checks it and keeps what the program uses of it, and checks
    // the entries the batches expect; true when nothing makes the package invalid (see
    // FileProblem and EntryProblem, and the digests above).
    [[nodiscard]] bool checkFiles();
    // The three, as the program checks a package before it uses anything of it; the signature
    // is checked before the XML is read, which is then read only when it is the signed one.
    [[nodiscard]] bool loadChecked();
    // What load() does with the bytes it read: the XML reading (in text mode, as the program
    // always read the file) and the signature text. For the tests and the fuzz target.
    void readBytes(const QByteArray &raw);

    // Where the XML reading stopped on an error, as the reader reports it; an empty message
    // when it read the document to its end.
    struct XmlError
    {
        qint64 line = 0;
        qint64 column = 0;
        QString message;
    };
    const XmlError &xmlError() const { return xmlStop; }
    // Why load() failed (the file could not be read).
    const regularfile::Failure &readFailure() const { return fileFailure; }
    // The outcome of the last checkSignature(), with what follows the signature element.
    signature::Verdict verdict() const { return lastVerdict; }
    const signature::UnsignedContent &unsignedContent() const { return trailer; }
    // How many bytes load() read; -1 before.
    qint64 fileSize() const { return raw.isNull() ? -1 : raw.size(); }
    // The files, and what checkFiles() found.
    const QVector<NamedFile> &namedFiles() const { return files; }
    Binding binding() const { return fileBinding; }
    const QList<FileProblem> &fileProblems() const { return problems; }
    QString describe(const FileProblem &problem, wording::Language language) const;
    const QList<EntryProblem> &entryProblems() const { return badEntries; }
    QString describe(const EntryProblem &problem, wording::Language language) const;
    // Every problem that makes the package invalid, described: the files', then the entries'.
    QStringList problemTexts(wording::Language language) const;
    // What the checks have to say in the program's log, one entry each, in French: why the
    // package was refused, or that its files are not bound to its signature.
    QStringList logLines() const { return lines; }
    // SHA-256 of the bytes load() read (lower-case hexadecimal); empty before.
    QString configurationSha256() const;

    QString getImage() const { return terminal->image; }
    qint32 getDelayReboot() const { return terminal->delayReboot; }
    QString getTitle() const { return operation->title; }
    QString getDescription() const { return operation->description; }
    QList<Batch *> getBatches() const { return batches; }
    QList<HTerminal *> getHTerminals() const { return hterms; }

    Terminal *terminal;
    Operation *operation;
    QList<HTerminal *> hterms;
    QList<Batch *> batches;
    QString signature;
    // Not used by the program: what vardel-pack reports to the package maker.
    QList<IgnoredHTerminal> ignoredHTerminals;

private:
    struct Element;  // a start tag, as the XML reading met it
    bool readFile(); // configuration.xml into `raw`, and the signature text
    void parse();    // the XML reading of `raw`
    void addNamedFile(NamedFile::Kind kind, const Element &element, const QString &value);
    void useFile(const NamedFile &file, const QByteArray &bytes);
    void useHTerminal(const NamedFile &file, const QByteArray &bytes);
    // The scenario's files as the terminal is told of them: each must fit the advertisement,
    // and no two of one batch may share a name.
    void checkNames();
    void checkEntries();

    QString fixedDirectory; // empty: directory()
    QString directoryText;  // configurationDirectory() while reading
    QByteArray raw;         // configuration.xml as load() read it
    XmlError xmlStop;
    regularfile::Failure fileFailure;
    signature::Verdict lastVerdict = signature::Verdict::NoText;
    signature::UnsignedContent trailer;
    QVector<NamedFile> files;
    int picture = -1; // the picture's index in `files`
    Binding fileBinding = Binding::Bound;
    QList<FileProblem> problems;
    QList<EntryProblem> badEntries;
    QStringList lines;
};

Q_DECLARE_TYPEINFO(Configuration::NamedFile, Q_MOVABLE_TYPE);
