#include "station/StationRecord.h"

namespace station {

namespace {

// Whether a later try of the same step follows step in the record.
bool Retried(const CameraRecord& camera, const StepRecord& step) {
  for (const StepRecord& s : camera.steps)
    if (s.index == step.index && s.attempt > step.attempt) return true;
  return false;
}

bool OfLastTry(const CameraRecord& camera, const Measurement& m) {
  for (const StepRecord& s : camera.steps)
    if (s.index == m.step && s.attempt > m.attempt) return false;
  return true;
}

}  // namespace

const StepRecord* FailingStep(const CameraRecord& camera) {
  for (const StepRecord& step : camera.steps)
    if (!step.passed && !step.skipped && !Retried(camera, step)) return &step;
  return nullptr;
}

const Measurement* FailingMeasurement(const CameraRecord& camera) {
  const Measurement* any = nullptr;
  const StepRecord* step = FailingStep(camera);
  for (const Measurement& m : camera.measurements) {
    if (m.outcome != Outcome::Fail || !OfLastTry(camera, m)) continue;
    if (step && m.step == step->index) return &m;
    if (!any) any = &m;
  }
  return any;
}

const Measurement* MarginalMeasurement(const CameraRecord& camera) {
  for (const Measurement& m : camera.measurements)
    if (m.outcome == Outcome::Marginal && OfLastTry(camera, m)) return &m;
  return nullptr;
}

}  // namespace station
