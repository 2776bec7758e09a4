#pragma once

#include "model/model.h"

// The test suite's only way into the Model's fixed waits; the shipped program has none.
class TestSeam
{
public:
    static void setTiming(Model &model, const Model::Timing &timing) { model.timing = timing; }
    static Model::Timing timing(const Model &model) { return model.timing; }
};
