// What the modules that build a project's units (one dict per module) share.
#pragma once

#include "common.h"

namespace tovel::units {

/// Records the unit as failed: the stage it failed in, the line that says
/// why, and the tools' whole output.
inline void fail(nb::dict unit, const char *stage, nb::handle line, nb::handle log) {
    unit["stage"] = stage;
    unit["line"] = line;
    unit["log"] = log;
}

} // namespace tovel::units
