#include "picture.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>

namespace picture {
namespace {

// Reads the header into `reader`; true when decoding may follow.
bool readHeader(QImageReader &reader, Inspection &inspection)
{
    if (!reader.canRead()) {
        inspection.status = Inspection::Status::NotAPicture;
        return false;
    }
    inspection.format = reader.format();
    inspection.size = reader.size();
    if (!inspection.size.isValid()) {
        inspection.status = Inspection::Status::UnknownSize;
        return false;
    }
    if (inspection.size.width() > kMaxSide || inspection.size.height() > kMaxSide) {
        inspection.status = Inspection::Status::TooLarge;
        return false;
    }
    inspection.status = Inspection::Status::Ok;
    return true;
}

} // namespace

QImage load(const QByteArray &bytes, const QString &name, Inspection *inspection)
{
    Inspection found;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, QFileInfo(name).suffix().toLower().toLatin1());
    QImage image;
    if (readHeader(reader, found)) {
        image = reader.read();
        if (image.isNull())
            found.status = Inspection::Status::Undecodable;
    }
    if (inspection)
        *inspection = found;
    return image;
}

QString describe(const Inspection &inspection)
{
    switch (inspection.status) {
    case Inspection::Status::Ok:
        break;
    case Inspection::Status::Unreadable:
        return regularfile::describe(inspection.failure, wording::Language::English);
    case Inspection::Status::NotAPicture:
        return QStringLiteral("is not a picture the program can show");
    case Inspection::Status::UnknownSize:
        return QStringLiteral("is a %1 picture whose size cannot be read before decoding it")
            .arg(QString::fromLatin1(inspection.format));
    case Inspection::Status::TooLarge:
        return QStringLiteral("is %1 x %2 pixels, more than the %3 pixels a side the program "
                              "shows")
            .arg(inspection.size.width())
            .arg(inspection.size.height())
            .arg(kMaxSide);
    case Inspection::Status::Undecodable:
        return QStringLiteral("is a damaged %1 picture")
            .arg(QString::fromLatin1(inspection.format));
    }
    return QString();
}

} // namespace picture
