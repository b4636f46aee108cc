#pragma once
// What one optimisation step changed: per AP, a full copy of its radio list
// after the step.

#include "MacAddress.h"
#include "Radio.h"

#include <unordered_map>
#include <vector>

namespace rrm {

// Keyed by the AP's key in the snapshot's main table (its base MAC); the
// list holds all the AP's radios, changed or not.
using RadioResultMap = std::unordered_map<MacAddress, std::vector<Radio>, MacHash>;

}  // namespace rrm
