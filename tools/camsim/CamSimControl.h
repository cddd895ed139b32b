#pragma once
// The control language of the virtual camera: one command per line, one reply line
// ("ok ..." or "error ..."). CCamSim::Control and the camsim --control socket share it.
#include <string>

#include "camsim/CamSim.h"

namespace camsim {

std::string RunControlCommand(CCamSim& sim, const std::string& line);
const char* FaultName(CamSimFault::Kind kind);
// The command summary printed by `camsim --help` and answered to "help".
extern const char* const kControlHelp;

}  // namespace camsim
