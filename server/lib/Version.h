#pragma once

namespace rrm {

// The version text of this build, as the start-up records print it.
inline constexpr const char* WENDARA_VERSION = "1.0.0";

}  // namespace rrm
