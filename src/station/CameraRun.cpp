#include "station/CameraRun.h"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>

#include "core/PictureChecks.h"
#include "core/SettingsTable.h"
#include "core/TextCodec.h"

namespace station {

using Kind = CameraAction::Kind;

CCameraRun::CCameraRun(const StationPlan& plan, size_t position, CameraRecord record)
    : m_plan(plan), m_position(position), m_record(std::move(record)), m_baud(plan.baud) {}

CameraAction CCameraRun::Next() {
  if (m_finished) return {};
  if (m_action.kind != Kind::Done) return m_action;  // still waiting for its result
  while (m_index < m_plan.steps.size()) {
    const size_t index = m_index;
    if (!m_stepOpen) {
      m_step = StepRecord{};
      m_step.name = m_plan.steps[index].name;
      m_step.index = index;
      m_step.attempt = m_attempt;
      m_output.clear();
      m_errors.clear();
      // An interrupt ends the camera's run as a failure does where the plan stops at one:
      // nothing more is started.
      if ((m_failed && m_plan.stopAtFirstFailure) || m_interrupted) {
        m_step.skipped = true;
        m_record.steps.push_back(m_step);
        ++m_index;
        m_attempt = 1;
        continue;
      }
      m_stepOpen = true;
    }
    if (std::optional<CameraAction> action = StepAction(index)) return m_action = *action;
  }
  if (!m_closeGiven) {
    m_closeGiven = true;
    m_action = CameraAction{};
    m_action.kind = Kind::Close;
    return m_action;
  }
  return {};
}

// The action step `index` needs next, or nothing when the step was decided without the
// camera's help.
std::optional<CameraAction> CCameraRun::StepAction(size_t index) {
  const StationStep& step = m_plan.steps[index];
  CameraAction action;
  action.index = index;
  action.step = &step;
  if (step.kind == StationStep::Kind::Find) {
    action.kind = Kind::Find;
    return action;
  }
  // The operator judges; the camera is not asked.
  if (step.kind == StationStep::Kind::Prompt) {
    action.kind = Kind::Prompt;
    return action;
  }
  // Every other step talks to the camera, opened and identified once by the first of them.
  if (!m_identified) {
    action.kind = Kind::Identify;
    action.baud = m_baud;
    return action;
  }
  switch (step.kind) {
    case StationStep::Kind::Version:
      if (fnmatch(step.expect.c_str(), m_record.version.c_str(), 0) == 0) {
        EndStep(kStepPassed);
      } else {
        m_errors.push_back("version '" + m_record.version + "' does not match '" + step.expect + "'");
        EndStep(kStepCameraFailure);
      }
      return std::nullopt;
    case StationStep::Kind::Serial: {
      // A unit that has its identity (scanned, given, counted) carries it as its serial.
      m_serialText = m_record.unitSource == UnitSource::None ? SerialText(step, m_position)
                                                             : m_record.unit;
      std::optional<std::string> bytes = Utf8ToGb18030(m_serialText);
      if (!bytes || RefuseTextBytes(Setting("osd", "text"), bytes->size())) {
        m_errors.push_back("serial: '" + m_serialText + "' does not fit an OSD line");
        EndStep(kStepUsage);
        return std::nullopt;
      }
      action.kind = Kind::Serial;
      action.osdText = std::move(*bytes);
      return action;
    }
    case StationStep::Kind::Profile: action.kind = Kind::Profile; return action;
    case StationStep::Kind::Capture: action.kind = Kind::Capture; return action;
    case StationStep::Kind::ReadStored: action.kind = Kind::ReadStored; return action;
    case StationStep::Kind::Reset: action.kind = Kind::Reset; return action;
    case StationStep::Kind::Find:
    case StationStep::Kind::Prompt: break;
  }
  return std::nullopt;
}

void CCameraRun::Take(const ActionResult& result) {
  const CameraAction action = m_action;
  m_action = CameraAction{};
  if (action.kind == Kind::Done) return;  // nothing was asked
  if (action.kind == Kind::Close) {
    // Passed means every step ran and its last try passed: an interrupt leaves the rest
    // skipped, a failure the plan goes on past still fails the unit.
    std::vector<const StepRecord*> last(m_plan.steps.size(), nullptr);
    for (const StepRecord& s : m_record.steps) last[s.index] = &s;
    m_record.passed = std::all_of(last.begin(), last.end(),
                                  [](const StepRecord* s) { return s && s->passed; });
    m_record.marginal = m_record.passed &&
                        std::any_of(last.begin(), last.end(), [](const StepRecord* s) { return s->marginal; });
    m_record.interrupted = m_interrupted;
    m_finished = true;
    return;
  }
  m_step.seconds += result.seconds;
  m_output.insert(m_output.end(), result.output.begin(), result.output.end());
  m_errors.insert(m_errors.end(), result.diagnostics.begin(), result.diagnostics.end());
  const bool passed = result.status == kStepPassed;
  switch (action.kind) {
    case Kind::Find:
      if (passed) m_baud = result.baud;
      break;
    case Kind::Identify:
      if (result.baud) {
        m_record.baud = result.baud;
        m_record.version = result.version;
      }
      m_identified = passed;
      // Identified, the step goes on with its own action.
      if (passed) return;
      break;
    case Kind::Profile:
      if (passed) m_record.profileHash = action.step->profileHash;
      break;
    case Kind::Serial:
      if (passed) m_record.serialWritten = m_serialText;
      break;
    case Kind::Capture:
    case Kind::ReadStored:
      // The unit is judged by the last capture it took, even when its checks failed; a
      // stored picture read later is the camera's memory, not this unit's test. A plan
      // that only reads stored pictures is judged by the last of those.
      m_step.picturePath = result.picturePath;
      if (!result.picturePath.empty() &&
          (action.kind == Kind::Capture || !m_capturedPicture)) {
        m_record.picturePath = result.picturePath;
        m_record.figures = result.figures;
        m_capturedPicture = m_capturedPicture || action.kind == Kind::Capture;
      }
      if (!result.picturePath.empty()) Measure(*action.step, result);
      break;
    default: break;
  }
  EndStep(result.status);
}

namespace {

std::optional<double> Finite(double v) { return std::isfinite(v) ? std::optional<double>(v) : std::nullopt; }

}  // namespace

// Each of the step's checks becomes a measurement of this try. A figure that cannot be
// read from the picture kept is a failure with its reason, never a number made up.
void CCameraRun::Measure(const StationStep& step, const ActionResult& result) {
  std::string why;
  if (!result.figures || !result.figures->measured)
    why = "the picture could not be measured (it does not decode)";
  else if (!result.figures->decodeWarning.empty())
    why = "the picture is damaged (" + result.figures->decodeWarning + ")";
  for (const StepLimit& limit : step.limits) {
    Measurement m;
    m.name = limit.check.figure;
    m.unit = limit.unit;
    m.low = Finite(limit.check.low);
    m.high = Finite(limit.check.high);
    m.marginalLow = limit.marginalLow;
    m.marginalHigh = limit.marginalHigh;
    m.step = m_step.index;
    m.stepName = m_step.name;
    m.attempt = m_step.attempt;
    m.limitText = limit.text;
    std::string whyNot;
    if (why.empty() && (m.value = MeasuredValue(*result.figures, limit.check.figure, &whyNot))) {
      m.outcome = JudgeMeasurement(*m.value, m);
    } else {
      m.value.reset();
      m.notMeasured = !why.empty() ? why : whyNot.empty() ? "not measured" : whyNot;
      m.outcome = Outcome::Fail;
    }
    m_step.marginal = m_step.marginal || m.outcome == Outcome::Marginal;
    m_record.measurements.push_back(std::move(m));
  }
}

Outcome JudgeMeasurement(double value, const Measurement& limits) {
  if ((limits.low && value < *limits.low) || (limits.high && value > *limits.high)) return Outcome::Fail;
  if ((limits.marginalLow && value < *limits.marginalLow) ||
      (limits.marginalHigh && value > *limits.marginalHigh))
    return Outcome::Marginal;
  return Outcome::Pass;
}

void CCameraRun::EndStep(int status) {
  const StationStep& step = m_plan.steps[m_index];
  m_step.status = status;
  m_step.passed = status == kStepPassed;
  m_step.marginal = m_step.marginal && m_step.passed;
  m_step.log = m_output;
  m_step.log.insert(m_step.log.end(), m_errors.begin(), m_errors.end());
  m_stepOpen = false;
  if (m_step.passed) {
    m_record.steps.push_back(m_step);
    ++m_index;
    m_attempt = 1;
    return;
  }
  for (const std::string& error : m_errors)
    m_step.message += (m_step.message.empty() ? "" : "; ") + error;
  if (m_step.message.empty()) m_step.message = status == kStepInterrupted ? "interrupted" : "failed";
  // A try again can mend what the camera or the line did, never a plan that asks for what
  // cannot be sent, nor an operator who stopped the run.
  const bool retry = m_attempt <= step.retries && status != kStepUsage &&
                     status != kStepInterrupted && !m_interrupted;
  if (!retry && step.continueOnFailure && status != kStepInterrupted) m_step.continued = true;
  m_record.steps.push_back(m_step);
  if (retry) {
    ++m_attempt;
    return;
  }
  m_failed = m_failed || !m_step.continued;
  ++m_index;
  m_attempt = 1;
}

}  // namespace station
