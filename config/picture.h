#pragma once

#include "system/regularfile.h"

#include <QImage>
#include <QSize>
#include <QString>

// The terminal's picture (the `image` element), from the bytes the package check read and
// checked. Its size is read from its header before it is decoded: a picture larger than the
// window could ever show is never decoded, so a small file that declares a huge picture costs
// nothing.
namespace picture {

constexpr int kMaxSide = 4096; // pixels, either way

struct Inspection
{
    enum class Status
    {
        Ok,          // readable, at most kMaxSide a side (decoding may still fail: see load)
        Unreadable,  // the file could not be read: see `failure` (not set by load)
        NotAPicture, // no picture format the program reads
        UnknownSize, // the format does not tell the size before decoding
        TooLarge,    // `size` is above kMaxSide on a side
        Undecodable, // load() only: the header was fine, the picture is not
    };
    Status status = Status::NotAPicture;
    QSize size;
    QByteArray format;
    regularfile::Failure failure;
};

// The picture, decoded only when its header allows it; a null image otherwise. `name`, the
// file's name, gives its suffix to the reader as a hint for formats without a signature.
// `inspection` receives what was found.
QImage load(const QByteArray &bytes, const QString &name, Inspection *inspection = nullptr);
// For vardel-pack: why the program would show no picture; empty for Ok.
QString describe(const Inspection &inspection);

} // namespace picture
