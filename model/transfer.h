#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

// Developer traces of the terminal commands (never the log file).
Q_DECLARE_LOGGING_CATEGORY(lcProtocol)

// What the advertisement and the download derive from a package file. The rule itself is in
// config/advertisement.h, shared with vardel-pack verify.
namespace transfer {

// The part of `path` after its last directory separator, in upper case.
QString fileName(const QString &path);

// The plain length as the advertisement carries it: six digits, zero-padded, up to 999999;
// all the digits followed by ";" from 1000000 on.
QByteArray lengthText(quint32 plainLength);

} // namespace transfer
