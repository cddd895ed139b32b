#include "station/CameraRun.h"

#include <fnmatch.h>

#include <algorithm>

#include "core/SettingsTable.h"
#include "core/TextCodec.h"

namespace station {

using Kind = CameraAction::Kind;

CCameraRun::CCameraRun(const StationPlan& plan, size_t position, CameraRecord record)
    : m_plan(plan), m_position(position), m_record(std::move(record)), m_baud(plan.baud) {}

CameraAction CCameraRun::Next() {
  if (m_finished) return {};
  if (m_action.kind != Kind::Done) return m_action;  // still waiting for its result
  while (m_record.steps.size() < m_plan.steps.size()) {
    const size_t index = m_record.steps.size();
    if (!m_stepOpen) {
      m_step = StepRecord{};
      m_step.name = m_plan.steps[index].name;
      m_output.clear();
      m_errors.clear();
      // An interrupt ends the camera's run as a failure does where the plan stops at one:
      // nothing more is started.
      if ((m_failed && m_plan.stopAtFirstFailure) || m_interrupted) {
        m_step.skipped = true;
        m_record.steps.push_back(m_step);
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
      m_serialText = SerialText(step, m_position);
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
    // Passed means every step ran and passed: an interrupt leaves the rest skipped.
    m_record.passed = std::all_of(m_record.steps.begin(), m_record.steps.end(),
                                  [](const StepRecord& s) { return s.passed; });
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
      // The unit's picture is the last one kept, with its own figures (none when it could
      // not be measured), even when its checks failed.
      if (!result.picturePath.empty()) {
        m_record.picturePath = result.picturePath;
        m_record.figures = result.figures;
      }
      break;
    default: break;
  }
  EndStep(result.status);
}

void CCameraRun::EndStep(int status) {
  m_step.status = status;
  m_step.passed = status == kStepPassed;
  m_step.log = m_output;
  m_step.log.insert(m_step.log.end(), m_errors.begin(), m_errors.end());
  if (!m_step.passed) {
    for (const std::string& error : m_errors)
      m_step.message += (m_step.message.empty() ? "" : "; ") + error;
    if (m_step.message.empty()) m_step.message = status == kStepInterrupted ? "interrupted" : "failed";
  }
  m_failed = m_failed || !m_step.passed;
  m_record.steps.push_back(m_step);
  m_stepOpen = false;
}

}  // namespace station
