#pragma once
// The outcome of one channel and power optimisation run, handed from the
// optimisation thread to the domain worker.

#include "RadioResultMap.h"

#include <string>

namespace rrm {

struct OptimizationResult {
    RadioResultMap radios;
    bool success = false;
    std::string error;
};

}  // namespace rrm
