#pragma once
// `brevant-cli report --db TARGET`: the yield report of a station results store.
#include <ostream>

#include "CliOptions.h"
#include "station/StationStore.h"

namespace cli {

// Prints the report (text, or JSON with --json) and writes --html. 0, or kExitLine when the
// store cannot be read or the page written.
int RunReportCommand(const GlobalOptions& global, const CommandPlan& command, std::ostream& out,
                     std::ostream& err, const station::IResultsStore& store,
                     const station::CStoreInterrupt* interrupt);

}  // namespace cli
