#pragma once

#include "config/configuration.h"
#include "model/model.h"

// The test suite's only way into the Model's fixed waits; the shipped program has none.
class TestSeam
{
public:
    static void setTiming(Model &model, const Model::Timing &timing) { model.timing = timing; }
    static Model::Timing timing(const Model &model) { return model.timing; }
    // Replaces the Model's configuration, e.g. with one that reads a temporary directory.
    static void setConfiguration(Model &model, Configuration *configuration)
    {
        delete model.configuration;
        model.configuration = configuration;
    }
};
