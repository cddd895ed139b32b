#pragma once
// `brevant-cli ports`: the COM number mapping with each device's stable path and names,
// so a script can find "the FTDI with serial A1B2" without guessing.
#include <ostream>

#include "CliOptions.h"

class CPortMap;

namespace cli {

// Lists the mapped ports of map (after a refresh) as result lines; always kExitOk.
int ListPorts(CPortMap& map, bool json, std::ostream& out, std::ostream& err);
// The command as run: the process-wide map, with a --port COMn=DEVICE mapping applied.
int RunPortsCommand(const GlobalOptions& global, std::ostream& out, std::ostream& err);

}  // namespace cli
