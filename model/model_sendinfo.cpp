// Advertisement of a package file: its plain length and its name in one block frame.
#include "model.h"

#include "config/advertisement.h"
#include "config/records.h"
#include "crypto/sealedfile.h"
#include "exchange.h"
#include "model/protocol/frames.h"
#include "transfer.h"

#include <algorithm>

bool Model::sendInfo(const Application *file)
{
    const QString &path = file->path;
    // The file as the package check read it: the announced length is its header's plain length.
    switch (file->status) {
    case SealedFile::Status::Unreadable:
        return commandFailed(FailureCause::Package,
                             file->content.failure.reason == regularfile::Failure::Reason::Missing
                                 ? QStringLiteral("sendInfo Erreur _file.exists")
                                 : QStringLiteral("sendInfo Erreur _file.open"));
    case SealedFile::Status::TooLarge:
        return commandFailed(FailureCause::Package, QStringLiteral("sendInfo Erreur _file.open"));
    case SealedFile::Status::TooShort:
        return commandFailed(FailureCause::Package, QStringLiteral("sendInfo Erreur _file.size"));
    default: // a whole header: the download tells what else is wrong
        break;
    }
    const quint32 plainLength = file->content.plainLength;

    // The rule vardel-pack verify applies too, on the bytes that go into the frame, so that it
    // never overflows.
    static_assert(advertisement::kRoom == frame::kAdvertTextMax, "one room for the advertisement");
    const advertisement::Advertisement advert = advertisement::of(path, plainLength);
    const QByteArray &lengthText = advert.lengthText;
    const QByteArray &encodedName = advert.encodedName;
    // A checked package holds no such file (Configuration::checkNames): nothing is sent.
    if (!advert.fits())
        return commandFailed(FailureCause::Package,
                             QStringLiteral("sendInfo Erreur nom trop long pour l'annonce"));
    qCInfo(lcProtocol).noquote() << QStringLiteral("Model::sendInfo advertise file ") +
                                        QString::fromLatin1(encodedName) +
                                        QStringLiteral(" of size %1").arg(plainLength);

    auto request = frame::block(frame::kCmdSendInfo);
    request[1] = quint8(lengthText.size() + encodedName.size());
    auto *text = request.data() + 2;
    text = std::copy(lengthText.cbegin(), lengthText.cend(), text);
    std::copy(encodedName.cbegin(), encodedName.cend(), text);

    exchange::Step step;
    step.command = QStringLiteral("sendInfo");
    step.readWord = QStringLiteral("read");
    step.lengthWord = QStringLiteral("_lengthToRead");
    step.delayMs = timing.requestDelayMs;
    exchange::Block reply{};
    return exchange::acknowledged(*this, request, reply, step);
}
