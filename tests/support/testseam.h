#pragma once

#include "config/configuration.h"
#include "link/serialport.h"
#include "model/model.h"

// The test suite's way into the Model's fixed waits and its PC/SC service, through the seam
// the Model documents for it (Model::setTimingForTests...); the shipped program uses none.
class TestSeam
{
public:
    static void setTiming(Model &model, const Model::Timing &timing)
    {
        model.setTimingForTests(timing);
    }
    static Model::Timing timing(const Model &model) { return model.timingForTests(); }
    // The waits of every Model built from now on (a window builds its own and starts its
    // workers at once, so its waits must be set before).
    static void setInitialTiming(const Model::Timing &timing)
    {
        Model::setInitialTimingForTests(timing);
    }
    static Model::Timing initialTiming() { return Model::initialTimingForTests(); }
    // Whether the next terminal search is the run's first (the one that switches the readers).
    static void setFirstSearch(bool first) { Model::setFirstSearchForTests(first); }
    // A fake PC/SC service in place of the platform's own (null: the platform's own again).
    static void setPcsc(Model &model, const PcscApi *api) { model.setPcscForTests(api); }
};
