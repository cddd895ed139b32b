#include "StationReport.h"

#include "CliOutput.h"
#include "station/StationReports.h"
#include "station/StationYield.h"

namespace cli {

int RunReportCommand(const GlobalOptions& global, const CommandPlan& command, std::ostream& out,
                     std::ostream& err, const station::IResultsStore& store,
                     const station::CStoreInterrupt* interrupt) {
  ResultWriter writer(out, err, global.json);
  station::YieldRows rows;
  std::string error;
  if (!store.ReadYield(command.dbTarget, {command.reportPlan, command.reportSince}, rows, error, interrupt)) {
    writer.Error(error);
    return kExitLine;
  }
  const std::vector<station::PlanYield> plans = station::ComputeYield(rows);
  out << (global.json ? station::YieldJson(plans) : station::YieldText(plans));
  out.flush();
  if (!command.htmlPath.empty()) {
    std::string title = "Yield";
    if (!command.reportPlan.empty()) title += " of " + command.reportPlan;
    if (!command.reportSince.empty()) title += " since " + command.reportSince;
    if (!station::WriteReportFile(command.htmlPath, station::YieldHtml(plans, title), error)) {
      writer.Error(error);
      return kExitLine;
    }
  }
  return kExitOk;
}

}  // namespace cli
