#pragma once

#include "config/configuration.h"
#include "crypto/rsa.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// What vardel-pack does, as functions the tool, the tests and the benchmark share. Failures
// are false with an explanation in `error`.
namespace pack {

// The files of a key directory (VARDEL_KEY_DIR of the build).
extern const QString kPackageKeyFile;     // package.key: 32 hexadecimal digits
extern const QString kSigningModulusFile; // signing-modulus.hex: n as 512 hexadecimal digits
extern const QString kSigningPrivateFile; // signing-private.pem: the private key, PKCS #8

// Files. Only regular files are read (a FIFO or a device is refused before it is opened), and
// never more than `limit` bytes. An output is written to a temporary file beside its target,
// flushed to the disk, closed and renamed over the target; every step is checked, and a failed
// one leaves the target exactly as it was, with an error that names the cause ("No space left
// on device"). A target that is a symbolic link is refused: vardel-pack never writes through
// one. A private file (a key) is made readable by its owner only, whatever the umask.
[[nodiscard]] bool readFile(const QString &path, QByteArray &data, QString &error,
                            qint64 limit = Configuration::kMaxFileSize);
// A file written with `replace` false is put in place only when no file bears its name at that
// moment (link(2), which never replaces): a key that appeared since the check is kept.
[[nodiscard]] bool writeFile(const QString &path, const QByteArray &data, QString &error,
                             bool privateFile = false, bool replace = true);

// The system calls behind writeFile; the tests replace one of them to make that step fail.
struct WriteCalls
{
    ssize_t (*write)(int fd, const void *data, size_t size);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*link)(const char *from, const char *to);
};
WriteCalls &writeCalls();

// Keys. generateKeys writes a new RSA-2048 key pair (e = 65537, p > q) and a new package key
// into `dir`, as private files, and never overwrites an existing key file (nor writes where a
// link in its place leads, nor replaces a key that appears while it works). A folder it makes
// is readable by its owner only (0700), whatever the umask.
[[nodiscard]] bool generateKeys(const QString &dir, QString &error);
// A PEM private key (RSA-2048, e = 65537) as the library's record, p the larger prime; the
// CRT values are recomputed when the file holds the primes the other way round.
[[nodiscard]] bool privateKeyFromPem(const QByteArray &pem, RsaPrivateKey &key, QString &error);
// A PEM private key built from n, e, d, p, q (big-endian bytes) in the order given.
QByteArray pemFromComponents(const QByteArray &n, const QByteArray &e, const QByteArray &d,
                             const QByteArray &p, const QByteArray &q);
// Whether `key` is the key pair whose public half this build holds.
bool isBuiltInKey(const RsaPrivateKey &key);

// Sealed files under the package key of this build: 4-byte big-endian plain length, then
// AES-128-ECB, the last block zero-padded. seal() gives an empty array when it fails.
QByteArray seal(const QByteArray &plain);
// Seals the file at `plainPath`: refused, with the figures, when it is larger than the 4-byte
// length field can declare or than vardel-pack can hold (SealedFile::kMaxSealablePlain).
[[nodiscard]] bool sealFile(const QString &plainPath, QByteArray &sealed, QString &error);

// The signed configuration of the package in `directory` (ending with a separator): a sha256
// attribute on every element that names a file the program uses, with the digest of that file
// as it lies in the folder (lower-case hexadecimal; an existing one is replaced), then the text
// of the last signature element replaced, or a signature element inserted before the root's
// closing tag. Nothing else changes. The result is checked the way the program checks it
// before it is returned.
[[nodiscard]] bool sign(const QByteArray &xml, const QString &directory, const RsaPrivateKey &key,
                        QByteArray &signedXml, QString &error);
// The signature text of a signed region: the private-key operation on its block.
[[nodiscard]] bool signatureText(const QByteArray &region, const RsaPrivateKey &key, QString &text);

// What verify finds in a package: every problem an operator would meet (none: the package is
// clean), and what the package maker should know although the program accepts it.
struct Verdict
{
    QStringList problems;
    QStringList warnings;
    // What each batch expects the terminal to list once it is installed, one line per batch,
    // when any batch expects something (the entries are checked among the problems).
    QStringList expectations;
};
Verdict verify(const QString &configurationDir);

} // namespace pack
