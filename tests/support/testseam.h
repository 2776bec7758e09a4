#pragma once

#include "config/configuration.h"
#include "link/serialport.h"
#include "model/model.h"

// The test suite's only way into the Model's fixed waits; the shipped program has none.
class TestSeam
{
public:
    static void setTiming(Model &model, const Model::Timing &timing)
    {
        model.timing = timing;
        model.serialPort->setReadTimeout(timing.exactReadTimeoutMs);
    }
    static Model::Timing timing(const Model &model) { return model.timing; }
    // The waits of every Model built from now on (a window builds its own and starts its
    // workers at once, so its waits must be set before).
    static void setInitialTiming(const Model::Timing &timing) { Model::initialTiming = timing; }
    static Model::Timing initialTiming() { return Model::initialTiming; }
    // Whether the next terminal search is the run's first (the one that switches the readers).
    static void setFirstSearch(bool first) { Model::firstSearch = first; }
    // A fake PC/SC service in place of the platform's own (null: the platform's own again).
    static void setPcsc(Model &model, const PcscApi *api) { model.pcscApi = api; }
};
