#include "model.h"

#include "config/configuration.h"

// Runs on a worker thread, once; the window learns the outcome from one of the two signals.
// A refused file also leaves one line in the log that says why (unsigned content, a FIFO in
// place of the file, a bad signature...).
void Model::loadConfiguration()
{
    if (configuration->load() && configuration->checkSignature()) {
        emit configurationLoaded();
        return;
    }
    if (!configuration->failureLine().isEmpty())
        log(configuration->failureLine());
    emit configurationFailed();
}

void Model::setConfigurationDirectory(const QString &directory)
{
    delete configuration;
    configuration = new Configuration(directory);
}
