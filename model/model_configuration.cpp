#include "model.h"

#include "config/configuration.h"

// Runs on a worker thread, once; the window learns the outcome from one of the two signals.
void Model::loadConfiguration()
{
    if (configuration->load() && configuration->checkSignature())
        emit configurationLoaded();
    else
        emit configurationFailed();
}

void Model::setConfigurationDirectory(const QString &directory)
{
    delete configuration;
    configuration = new Configuration(directory);
}
