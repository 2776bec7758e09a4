#pragma once

#include <QByteArray>
#include <QString>

// Files that must be whole or absent: the station's JSON summary, the reports for support. A
// buffered write (QSaveFile's) fails on a full disk only when it is committed, and may leave an
// empty file announced as written; here every step is checked and its cause kept.
namespace savedfile {

enum class Existing
{
    Replace, // a regular file of that name is replaced (renamed over)
    Keep,    // the name must be free: a file that appeared meanwhile is never replaced
};

// Writes `bytes` to a new file beside `path`, forces them to the disk, then puts the file in
// place: renamed over `path` (Replace), or linked under it only when the name is free (Keep:
// link(2) fails on any existing name, so nothing can appear between a check and the write),
// and forces the folder's entry to the disk. A symbolic link in its place is refused and never
// followed, and so is anything that is not a regular file. On any failure, no file is left
// behind and what `path` was stays as it was; false with `error` (French: the cause and the
// step, "plus de place sur le disque (à l'écriture)"; the path is the caller's to say). `taken`
// (Keep) is set when the name was already in use.
[[nodiscard]] bool write(const QString &path, const QByteArray &bytes, Existing existing,
                         QString &error, bool *taken = nullptr);

// Whether a symbolic link bears the name `path`: `error` then says so (French) with where it
// leads, as the station and the window refuse to write through one.
[[nodiscard]] bool isLink(const QString &path, QString &error);

// Forces the entries of the folder holding `path` to the disk (a new file's name reaches it
// only with its folder).
void syncFolderOf(const QString &path);

} // namespace savedfile
