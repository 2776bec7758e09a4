#pragma once

#include <QByteArray>
#include <QString>

// What the advertisement of a package file carries, and whether it fits: the one
// rule that the program applies before it advertises a file and that vardel-pack verify
// applies to a package before it ships.
namespace advertisement {

// Bytes 2 to 29 of the 32-byte frame: the length text, then the name.
constexpr int kRoom = 28;

// The file's own name, in upper case: the part of `path` after its last directory separator,
// "/" or the platform's own, so that a file in a sub-folder of the package is advertised by
// its name alone, on every platform alike.
QString fileName(const QString &path);

// The plain length as the advertisement carries it: six digits, zero-padded, up to 999999;
// all the digits followed by ";" from 1000000 on.
QByteArray lengthText(quint32 plainLength);

struct Advertisement
{
    QString name;           // fileName(path)
    QByteArray encodedName; // the name in the platform's local 8-bit encoding: what is sent
    QByteArray lengthText;
    // The size rule, on the bytes that go into the frame: encoded name + length text <= 28.
    bool fits() const { return encodedName.size() + lengthText.size() <= kRoom; }
};

Advertisement of(const QString &path, quint32 plainLength);

} // namespace advertisement
