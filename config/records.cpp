#include "records.h"

Application::Application(const QString &path) : path(path)
{
    content.failure.reason = regularfile::Failure::Reason::Missing;
}

void Application::setContent(QByteArray bytes)
{
    status = SealedFile::decode(std::move(bytes), content, false);
    if (status == SealedFile::Status::Ok && content.plainLength > quint32(content.decrypted.size()))
        status = SealedFile::Status::LengthExceedsContent;
}

void Application::setUnreadable(const regularfile::Failure &failure)
{
    content = SealedFile();
    content.failure = failure;
    content.fileSize = failure.size;
    status = failure.reason == regularfile::Failure::Reason::TooLarge ||
                     failure.reason == regularfile::Failure::Reason::NoMemory
                 ? SealedFile::Status::TooLarge
                 : SealedFile::Status::Unreadable;
}

Batch::~Batch()
{
    qDeleteAll(files);
}
