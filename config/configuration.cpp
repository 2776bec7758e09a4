#include "configuration.h"

Configuration::Configuration() : terminal(new Terminal), operation(new Operation) {}

Configuration::~Configuration()
{
    delete terminal;
    delete operation;
    qDeleteAll(hterms);
    qDeleteAll(batches);
}
