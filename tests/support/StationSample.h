#pragma once
// One station run of three cameras, with the untrusted text a camera may send, for the
// tests of what is made from a run's record (its reports, the results store).
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "station/StationRecord.h"

namespace testsupport {

using station::CameraRecord;
using station::StationRun;
using station::StepRecord;

// What the camera may send: markup, quotes, an SQL quote, control characters, a byte that
// is not UTF-8.
inline const std::string kHostile = "V9<&\"'>]]>'); DROP TABLE runs;--\x01\x1b\xff,x";

inline StepRecord Step(const char* name, bool passed, bool skipped = false, std::string message = "",
                std::vector<std::string> log = {}) {
  return {name, passed, skipped, passed || skipped ? 0 : 1, message, log, 0.25};
}

// Three cameras: one passes, one has the wrong version, one never answers.
inline StationRun ThreeCameras() {
  StationRun run{"plan.toml", "ab12", "rack-1", "2026-12-09T06:00:00Z", 4.5, false, {}};
  CameraRecord good{"COM3", "/dev/ttyUSB0", "FT1", 115200, "V2.1", "1001", "cafe",
                    "/tmp/p.jpg", std::nullopt, {}, true, "2026-12-09T06:00:00Z", 3.0};
  PictureFigures figures;
  figures.measured = true;
  figures.width = 640;
  figures.height = 480;
  figures.meanLuma = 121.5;
  good.figures = figures;
  good.steps = {Step("find", true), Step("version", true), Step("capture", true)};
  CameraRecord wrong = good;
  wrong.port = "COM4";
  wrong.adapterSerial = "FT2";
  wrong.version = kHostile;
  wrong.serialWritten = wrong.profileHash = wrong.picturePath = "";
  wrong.figures.reset();
  wrong.passed = false;
  wrong.steps = {Step("find", true),
                 Step("version", false, false, "version " + kHostile + " does not match V2.*",
                      {"(06:00:01) " + kHostile, "line\ttwo"}),
                 Step("capture", false, true)};
  CameraRecord silent = wrong;
  silent.port = "/dev/ttyUSB2";
  silent.adapterSerial = silent.version = "";
  silent.baud = 0;
  silent.steps = {Step("find", false, false, "no camera answered"), Step("version", false, true),
                  Step("capture", false, true)};
  run.cameras = {good, wrong, silent};
  return run;
}

// ThreeCameras with units and measurements: the good camera is a counted unit on its
// second attempt whose capture was tried twice (a failure, then a marginal pass); the
// wrong one a named unit whose figure could not be measured.
inline StationRun MeasuredRun() {
  StationRun run = ThreeCameras();
  run.planName = "line";
  CameraRecord& good = run.cameras[0];
  good.unit = "SN1";
  good.unitSource = station::UnitSource::Counter;
  good.attempt = 2;
  good.marginal = true;
  good.steps = {Step("find", true), Step("version", true), Step("capture", false, false, "sharpness 30.0"),
                Step("capture", true)};
  for (size_t i = 0; i < good.steps.size(); ++i) good.steps[i].index = i < 3 ? i : 2;
  good.steps[3].attempt = 2;
  good.steps[3].marginal = true;
  good.steps[2].picturePath = "/tmp/first.jpg";
  good.steps[3].picturePath = "/tmp/p.jpg";
  station::Measurement m;
  m.name = "sharpness";
  m.value = 30;
  m.low = 40;
  m.marginalLow = 50;
  m.outcome = station::Outcome::Fail;
  m.step = 2;
  m.stepName = "capture";
  m.limitText = "sharpness>=40 marginal 50";
  good.measurements.push_back(m);
  m.value = 45;
  m.attempt = 2;
  m.outcome = station::Outcome::Marginal;
  good.measurements.push_back(m);
  CameraRecord& wrong = run.cameras[1];
  wrong.unit = kHostile.substr(0, 10);
  wrong.unitSource = station::UnitSource::Given;
  for (size_t i = 0; i < wrong.steps.size(); ++i) wrong.steps[i].index = i;
  station::Measurement unmeasured;
  unmeasured.name = "clipped";
  unmeasured.unit = "%";
  unmeasured.high = 2;
  unmeasured.notMeasured = "the picture could not be measured";
  unmeasured.step = 2;
  unmeasured.stepName = "capture";
  unmeasured.limitText = "clipped<=2%";
  wrong.measurements.push_back(unmeasured);
  return run;
}

// What a camera's untrusted text becomes in a report that must stay valid.
inline const std::string kHostileInXml = "V9<&\"'>]]>'); DROP TABLE runs;--\\x01\\x1B\xEF\xBF\xBD,x";
inline const std::string kHostileInUtf8 = "V9<&\"'>]]>'); DROP TABLE runs;--\x01\x1b\xEF\xBF\xBD,x";

}  // namespace testsupport
