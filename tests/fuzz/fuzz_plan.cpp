// The station plan reader on any bytes: a refusal with the plan's name, or a plan within
// its bounds; never a crash, an exception, a stack exhausted by nesting or memory beyond
// a few MB. A profile step may name p.json beside the plan, a valid profile.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "station/StationPlan.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

const std::string& PlanPath() {
  static const std::string path = [] {
    const std::string profile = "{\"format\": 1, \"model\": \"QVX5M0 2.00\", \"compression\": \"0x40\"}\n";
    WriteWholeFile(FuzzScratchDir() + "p.json", reinterpret_cast<const uint8_t*>(profile.data()),
                   profile.size());
    return FuzzScratchDir() + "plan.toml";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  station::StationPlan plan;
  std::string error;
  if (!station::ParseStationPlan(bytes, PlanPath(), plan, error)) {
    Check(error.rfind(PlanPath() + ":", 0) == 0);
    return 0;
  }
  Check(!plan.steps.empty() && plan.steps.size() <= station::kPlanMaxSteps);
  Check(plan.hash == station::Fnv1a64Hex(bytes));
  for (const station::StationStep& step : plan.steps) {
    Check(step.line >= 1);
    if (step.kind == station::StationStep::Kind::Serial) station::SerialText(step, 999);
  }
  return 0;
}
