// One camera's station run fed scripted results, no port: the order of its actions, what
// ends the run and what the unit's record keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/CameraRun.h"

using namespace station;

namespace {

using Kind = CameraAction::Kind;

StationStep MakeStep(StationStep::Kind kind, const char* name) {
  StationStep step;
  step.kind = kind;
  step.name = name;
  return step;
}

// What the driver does with the action it is given, and what comes of it.
struct Reply {
  Kind expect;
  ActionResult result;
  bool interruptAfter = false;  // Ctrl+C arrives while the action runs
};

struct ExpectedStep {
  const char* name;
  int status;
  bool skipped;
  std::string message;
};

struct Case {
  const char* what;
  bool stopAtFirstFailure;
  std::vector<StationStep> steps;
  std::vector<Reply> script;  // Close is answered without being listed
  std::vector<ExpectedStep> expected;
  bool passed;
};

ActionResult Result(int status, std::vector<std::string> diagnostics = {}) {
  ActionResult r;
  r.status = status;
  r.diagnostics = std::move(diagnostics);
  return r;
}

ActionResult Identified(unsigned baud, const char* version, int status = kStepPassed) {
  ActionResult r = Result(status);
  r.baud = baud;
  r.version = version;
  return r;
}

ActionResult Picture(int status, const char* path, std::vector<std::string> diagnostics = {}) {
  ActionResult r = Result(status, std::move(diagnostics));
  r.picturePath = path;
  r.output = {"saved " + std::string(path)};
  PictureFigures figures;
  figures.measured = true;
  figures.width = 640;
  r.figures = figures;
  return r;
}

TEST(CameraRun, StepsRunInOrderAndAFailureOrAnInterruptEndsTheRun) {
  StationStep find = MakeStep(StationStep::Kind::Find, "find");
  StationStep version = MakeStep(StationStep::Kind::Version, "version");
  version.expect = "V2.*";
  StationStep wrongVersion = version;
  wrongVersion.expect = "V3*";
  StationStep serial = MakeStep(StationStep::Kind::Serial, "serial");
  serial.format = "SN{:04}";
  serial.start = 7;
  StationStep profile = MakeStep(StationStep::Kind::Profile, "profile");
  profile.profileHash = "cafe";
  const StationStep capture = MakeStep(StationStep::Kind::Capture, "capture");
  const StationStep reset = MakeStep(StationStep::Kind::Reset, "reset");

  const std::vector<Case> cases = {
      {"every step passes", true,
       {find, version, serial, profile, capture, reset},
       {{Kind::Find, Identified(115200, "")},
        {Kind::Identify, Identified(115200, "V2.1")},
        {Kind::Serial, Result(kStepPassed)},
        {Kind::Profile, Result(kStepPassed)},
        {Kind::Capture, Picture(kStepPassed, "/p.jpg")},
        {Kind::Reset, Result(kStepPassed)}},
       {{"find", 0, false, ""}, {"version", 0, false, ""}, {"serial", 0, false, ""},
        {"profile", 0, false, ""}, {"capture", 0, false, ""}, {"reset", 0, false, ""}},
       true},
      {"a failing step in the middle ends the run with its message", true,
       {version, capture, reset},
       {{Kind::Identify, Identified(38400, "V2.1")},
        {Kind::Capture, Picture(5, "/bad.jpg", {"mean luma 3 below 20", "sharpness 0"})}},
       {{"version", 0, false, ""},
        {"capture", 5, false, "mean luma 3 below 20; sharpness 0"},
        {"reset", 0, true, ""}},
       false},
      {"a version that does not match fails without asking the camera again", true,
       {wrongVersion, reset},
       {{Kind::Identify, Identified(38400, "V2.1")}},
       {{"version", kStepCameraFailure, false, "version 'V2.1' does not match 'V3*'"},
        {"reset", 0, true, ""}},
       false},
      {"a plan that goes on after a failure opens the camera again", false,
       {capture, reset},
       {{Kind::Identify, Result(3, {"Open COM1 fail, baud is 38400: busy"})},
        {Kind::Identify, Identified(38400, "V2.1")},
        {Kind::Reset, Result(kStepPassed)}},
       {{"capture", 3, false, "Open COM1 fail, baud is 38400: busy"}, {"reset", 0, false, ""}},
       false},
      {"an interrupt skips every step not yet started", false,
       {capture, capture, reset},
       {{Kind::Identify, Identified(38400, "V2.1")},
        {Kind::Capture, Result(kStepInterrupted), true}},
       {{"capture", kStepInterrupted, false, "interrupted"},
        {"capture", 0, true, ""},
        {"reset", 0, true, ""}},
       false},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StationPlan plan;
    plan.stopAtFirstFailure = c.stopAtFirstFailure;
    plan.steps = c.steps;
    CameraRecord start;
    start.port = "COM1";
    CCameraRun run(plan, 2, start);
    size_t next = 0;
    bool closed = false;
    for (int guard = 0; guard < 50 && !run.Finished(); ++guard) {
      const CameraAction action = run.Next();
      if (action.kind == Kind::Close) {
        EXPECT_EQ(next, c.script.size()) << "closed before the script's end";
        closed = true;
        run.Take({});
        continue;
      }
      ASSERT_LT(next, c.script.size()) << "an action the script does not expect";
      const Reply& reply = c.script[next++];
      ASSERT_EQ(action.kind, reply.expect) << "action " << next;
      if (action.kind == Kind::Identify) EXPECT_EQ(action.baud, c.script[0].expect == Kind::Find ? 115200u : plan.baud);
      if (action.kind == Kind::Serial) EXPECT_EQ(action.osdText, "SN0009");  // start 7, position 2
      run.Take(reply.result);
      if (reply.interruptAfter) run.Interrupt();
    }
    ASSERT_TRUE(run.Finished());
    EXPECT_TRUE(closed);
    EXPECT_EQ(run.Next().kind, Kind::Done);

    const CameraRecord& record = run.Outcome();
    EXPECT_EQ(record.port, "COM1");
    EXPECT_EQ(record.passed, c.passed);
    ASSERT_EQ(record.steps.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) {
      const StepRecord& got = record.steps[i];
      const ExpectedStep& want = c.expected[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(got.name, want.name);
      EXPECT_EQ(got.skipped, want.skipped);
      EXPECT_EQ(got.passed, !want.skipped && want.status == 0);
      EXPECT_EQ(got.status, want.status);
      EXPECT_EQ(got.message, want.message);
    }
  }
}

// What the unit's record keeps: the rate, version, serial number, profile and the last
// picture with its own figures, also when a later capture failed its checks.
TEST(CameraRun, TheRecordKeepsWhatTheStepsLearnt) {
  StationPlan plan;
  StationStep serial = MakeStep(StationStep::Kind::Serial, "serial");
  serial.format = "A{}";
  StationStep profile = MakeStep(StationStep::Kind::Profile, "profile");
  profile.profileHash = "cafe";
  plan.stopAtFirstFailure = false;
  plan.steps = {serial, profile, MakeStep(StationStep::Kind::Capture, "capture"),
                MakeStep(StationStep::Kind::Capture, "capture")};
  CCameraRun run(plan, 0, {});
  ActionResult second = Picture(5, "/second.jpg", {"too dark"});
  second.figures.reset();  // could not be measured
  const std::vector<ActionResult> script = {Identified(57600, "V2.1"), Result(kStepPassed),
                                            Result(1, {"refused"}), Picture(0, "/first.jpg"),
                                            second, {}};
  for (const ActionResult& result : script) {
    run.Next();
    run.Take(result);
  }
  ASSERT_TRUE(run.Finished());
  const CameraRecord& record = run.Outcome();
  EXPECT_EQ(record.baud, 57600u);
  EXPECT_EQ(record.version, "V2.1");
  EXPECT_EQ(record.serialWritten, "A0");
  EXPECT_EQ(record.profileHash, "") << "a profile the camera refused is not the unit's";
  EXPECT_EQ(record.picturePath, "/second.jpg");
  EXPECT_FALSE(record.figures) << "the first picture's figures stayed with the second";
  EXPECT_EQ(record.steps[3].log, (std::vector<std::string>{"saved /second.jpg", "too dark"}));
}

}  // namespace

namespace {

ActionResult Sharpness(int status, const char* path, double sharpness) {
  ActionResult r = Picture(status, path);
  r.figures->sharpness = sharpness;
  return r;
}

// Runs the plan through the script (Close answered at the end) and returns the record.
CameraRecord RunScript(const StationPlan& plan, const std::vector<ActionResult>& script,
                       CameraRecord start = {}, std::vector<CameraAction>* actions = nullptr) {
  CCameraRun run(plan, 0, std::move(start));
  size_t next = 0;
  for (int guard = 0; guard < 50 && !run.Finished(); ++guard) {
    const CameraAction action = run.Next();
    if (actions) actions->push_back(action);
    run.Take(action.kind == Kind::Close || next >= script.size() ? ActionResult{} : script[next++]);
  }
  EXPECT_TRUE(run.Finished());
  EXPECT_EQ(next, script.size());
  return run.Outcome();
}

}  // namespace

// A failed try is run again and kept; a failure the plan goes on past still fails the unit;
// a marginal value passes and marks the unit; a stored picture read after the capture is
// not what the unit is judged by.
TEST(CameraRun, RetriesContinuedFailuresAndMarginalMeasurementsAreRecorded) {
  StationStep capture = MakeStep(StationStep::Kind::Capture, "capture");
  std::string error;
  ASSERT_TRUE(ParseStepLimits("sharpness>=10 marginal 20", capture.limits, error)) << error;
  capture.retries = 1;
  StationStep stored = MakeStep(StationStep::Kind::ReadStored, "read-stored");
  StationStep reset = MakeStep(StationStep::Kind::Reset, "reset");
  StationStep lenient = reset;
  lenient.continueOnFailure = true;
  StationPlan plan;
  plan.steps = {capture, stored, lenient, reset};

  const CameraRecord failed = RunScript(
      plan, {Identified(38400, "V2.1"), Sharpness(5, "/blurred.jpg", 5), Sharpness(0, "/ok.jpg", 15),
             Sharpness(0, "/stored.jpg", 90), Result(1, {"no answer"}), Result(kStepPassed)});
  ASSERT_EQ(failed.steps.size(), 5u);
  EXPECT_EQ(failed.steps[0].attempt, 1);
  EXPECT_FALSE(failed.steps[0].passed);
  EXPECT_EQ(failed.steps[1].attempt, 2);
  EXPECT_TRUE(failed.steps[1].passed && failed.steps[1].marginal);
  EXPECT_EQ(failed.steps[2].picturePath, "/stored.jpg");
  EXPECT_TRUE(failed.steps[3].continued);
  EXPECT_TRUE(failed.steps[4].passed) << "the run went on past the continued failure";
  EXPECT_FALSE(failed.passed);
  EXPECT_EQ(FailingStep(failed), &failed.steps[3]);
  EXPECT_EQ(failed.picturePath, "/ok.jpg");
  EXPECT_EQ(failed.figures->sharpness, 15);
  ASSERT_EQ(failed.measurements.size(), 2u);
  EXPECT_EQ(failed.measurements[0].outcome, station::Outcome::Fail);
  EXPECT_EQ(failed.measurements[0].value, 5);
  EXPECT_EQ(failed.measurements[1].outcome, station::Outcome::Marginal);
  EXPECT_EQ(failed.measurements[1].attempt, 2);
  EXPECT_EQ(failed.measurements[1].low, 10);
  EXPECT_EQ(failed.measurements[1].marginalLow, 20);
  EXPECT_FALSE(failed.measurements[1].high);
  EXPECT_EQ(FailingMeasurement(failed), nullptr) << "the failing try was mended";

  plan.steps = {capture};
  const CameraRecord marginal = RunScript(plan, {Identified(38400, "V2.1"), Sharpness(0, "/m.jpg", 12)});
  EXPECT_TRUE(marginal.passed);
  EXPECT_TRUE(marginal.marginal);
  ASSERT_NE(MarginalMeasurement(marginal), nullptr);
  EXPECT_EQ(MarginalMeasurement(marginal)->name, "sharpness");

  // A picture that cannot be measured fails each figure with the reason, and no number.
  ActionResult undecodable = Picture(5, "/broken.jpg");
  undecodable.figures.reset();
  plan.steps[0].retries = 0;
  const CameraRecord broken = RunScript(plan, {Identified(38400, "V2.1"), undecodable});
  ASSERT_EQ(broken.measurements.size(), 1u);
  EXPECT_FALSE(broken.measurements[0].value);
  EXPECT_NE(broken.measurements[0].notMeasured.find("could not be measured"), std::string::npos);
  EXPECT_EQ(FailingMeasurement(broken), &broken.measurements[0]);

  // A unit that has its identity writes it as its serial number.
  StationStep serial = MakeStep(StationStep::Kind::Serial, "serial");
  serial.format = "SN{:04}";
  plan.steps = {serial};
  CameraRecord unit;
  unit.unit = "LBL-7";
  unit.unitSource = UnitSource::Given;
  std::vector<CameraAction> actions;
  const CameraRecord named = RunScript(plan, {Identified(38400, "V2.1"), Result(kStepPassed)}, unit, &actions);
  ASSERT_GE(actions.size(), 2u);
  EXPECT_EQ(actions[1].osdText, "LBL-7");
  EXPECT_EQ(named.serialWritten, "LBL-7");
}
