#include "model.h"

#include "config/configuration.h"

// Runs on a worker thread, once; the window learns the outcome from one of the two signals.
// The log says why a package was refused (unsigned content, a FIFO in place of the file, a bad
// signature, a file that differs from its digest...), or that its files are not bound to its
// signature.
void Model::loadConfiguration()
{
    auto loaded = packageDirectory.isEmpty() ? std::make_shared<Configuration>()
                                             : std::make_shared<Configuration>(packageDirectory);
    const bool valid = loaded->loadChecked();
    for (const QString &line : loaded->logLines())
        log(line);
    setPackage(std::move(loaded));
    if (valid)
        emit configurationLoaded();
    else
        emit configurationFailed();
}

void Model::setConfigurationDirectory(const QString &directory)
{
    packageDirectory = directory;
    setPackage(std::make_shared<Configuration>(directory));
}

void Model::usePackage(std::shared_ptr<const Configuration> package)
{
    setPackage(std::move(package));
}

void Model::setPackage(std::shared_ptr<const Configuration> loaded)
{
    std::lock_guard<std::mutex> lock(configurationMutex);
    configuration = std::move(loaded);
}

std::shared_ptr<const Configuration> Model::package() const
{
    std::lock_guard<std::mutex> lock(configurationMutex);
    return configuration;
}
