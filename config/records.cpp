#include "records.h"

Application::Application(const QString &path, QObject *parent) : QObject(parent), path(path) {}

Batch::~Batch()
{
    qDeleteAll(files);
}
