// The station's live display and its operator: a rack taller than the terminal is not
// redrawn in place (it would scroll and repeat), a camera's text never reaches the terminal
// as control bytes, and a prompt's answer comes from the right line, or its wait ends.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>

#include "StationDisplay.h"
#include "StationEvents.h"
#include "StationPrompt.h"
#include "station/CameraRun.h"

namespace {

using cli::CStationDisplay;
using station::CameraRecord;
using station::StepRecord;

std::vector<CameraRecord> Rack(size_t ports) {
  std::vector<CameraRecord> cameras(ports);
  for (size_t i = 0; i < ports; ++i) cameras[i].port = "/dev/ttyUSB" + std::to_string(i);
  return cameras;
}

// Runs two steps on every camera, the second failing with message.
std::string Show(size_t ports, unsigned rows, const std::string& message) {
  std::ostringstream err;
  CStationDisplay display(err, true, 120, Rack(ports), 2, rows);
  for (size_t i = 0; i < ports; ++i) {
    display.StepStarted(i, 0, "version");
    display.StepEnded(i, StepRecord{"version", true});
    display.StepStarted(i, 1, "capture");
    StepRecord failed{"capture", false};
    failed.message = message;
    display.StepEnded(i, failed);
    CameraRecord record;
    record.steps = {StepRecord{"version", true}, failed};
    display.CameraEnded(i, record);
  }
  display.Finish();
  return err.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

}  // namespace

TEST(StationDisplay, MorePortsThanRowsGivePlainLinesAndCameraTextIsEscaped) {
  // Fits: redrawn in place, the cursor climbing back over the rows.
  const std::string fits = Show(3, 24, "bad");
  EXPECT_NE(fits.find("\x1b[3A"), std::string::npos);
  // 10 ports on 8 rows: each step's end once, as a plain line, and no cursor moves.
  const std::string tall = Show(10, 8, "bad");
  EXPECT_EQ(tall.find('\x1b'), std::string::npos);
  EXPECT_EQ(Count(tall, "\n"), 20u);
  EXPECT_EQ(Count(tall, "/dev/ttyUSB9 capture FAILED bad\n"), 1u);

  // A camera's text with a title change, a screen clear, a C1 CSI and a bell.
  const std::string hostile = "x\x1b]0;owned\x07y\x1b[2J\xc2\x9b" "31mz\xff";
  for (const std::string& out : {Show(3, 24, hostile), Show(10, 8, hostile)}) {
    // What remains of the escape bytes is the display's own cursor work.
    const std::string own = std::regex_replace(out, std::regex("\x1b\\[(2K|[0-9]+A)"), "");
    EXPECT_EQ(own.find('\x1b'), std::string::npos);
    EXPECT_EQ(own.find('\x07'), std::string::npos);
    EXPECT_EQ(own.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(out.find("x\\x1b]0;owned\\x07y\\x1b[2J\\x9b31mz\xef\xbf\xbd"), std::string::npos) << out;
  }
  EXPECT_EQ(cli::TerminalSafe("Prüfung 温度 ok"), "Prüfung 温度 ok");
}

TEST(StationOperator, AnswersComeFromTheirLineAndEveryWaitEnds) {
  const struct {
    const char* line;
    cli::OperatorAnswer answer;
  } lines[] = {
      {"pass", cli::OperatorAnswer::Pass},
      {"fail\r", cli::OperatorAnswer::Fail},
      {R"({"port":"COM3","answer":"pass"})", cli::OperatorAnswer::Pass},
      {R"({"answer":"fail"})", cli::OperatorAnswer::Fail},
      {R"({"port":"COM4","answer":"pass"})", cli::OperatorAnswer::None},
      {R"({"port":"COM3","answer":"maybe"})", cli::OperatorAnswer::None},
      {R"({"port":3,"answer":"pass"})", cli::OperatorAnswer::None},
      {"{\"port\":\"COM3\",", cli::OperatorAnswer::None},
  };
  for (const auto& l : lines) EXPECT_EQ(cli::ParseOperatorAnswer(l.line, "COM3"), l.answer) << l.line;

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  cli::CStationOperator who(fds[0], true);
  std::string why;
  // Another port's answer and noise are passed over; the answer may come in pieces.
  const std::string input = "{\"port\":\"COM4\",\"answer\":\"fail\"}\nnoise\n{\"port\":\"COM3\",\"ans";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  std::thread rest([&] { (void)!write(fds[1], "wer\":\"fail\"}\n", 13); });
  EXPECT_EQ(who.Ask("COM3", 60000, why), station::kStepCameraFailure);
  EXPECT_EQ(why, "the operator answered fail");
  rest.join();
  EXPECT_EQ(who.Ask("COM3", 20, why), station::kStepCameraFailure);
  EXPECT_EQ(why, "prompt: no answer in 1 s");
  close(fds[1]);
  EXPECT_EQ(who.Ask("COM3", 60000, why), station::kStepCameraFailure);
  EXPECT_EQ(why, "prompt: the operator's input closed before an answer");
  close(fds[0]);

  ASSERT_EQ(pipe(fds), 0);
  cli::CStationOperator waiting(fds[0], true);
  std::thread stop([&] { waiting.Wake(); });
  EXPECT_EQ(waiting.Ask("COM3", 600000, why), station::kStepInterrupted);
  stop.join();
  close(fds[0]);
  close(fds[1]);
  // Nobody on a pipe without --events: refused at once, saying why.
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(cli::CStationOperator(fds[0], false).Ask("COM3", 600000, why), station::kStepCameraFailure);
  EXPECT_NE(why.find("no operator to answer"), std::string::npos);
  close(fds[0]);
  close(fds[1]);
}

// A station loaded ahead takes its start line and not one byte more (the answers after it
// are the prompt's); noise is passed over, and a closed input or a wake ends the wait.
TEST(StationOperator, AStartLineIsTakenAloneAndItsWaitEnds) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string input = "noise\n{\"start\":false}\n{\"start\":true,\"unit\":\"COM3=SN7\"}\npass\n";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  std::string units;
  EXPECT_EQ(cli::WaitForStartLine(fds[0], -1, units), cli::StartWait::Started);
  EXPECT_EQ(units, "COM3=SN7");
  std::string why;
  EXPECT_EQ(cli::CStationOperator(fds[0], true).Ask("COM3", 60000, why), station::kStepPassed);
  close(fds[1]);
  EXPECT_EQ(cli::WaitForStartLine(fds[0], -1, units), cli::StartWait::Closed);
  close(fds[0]);

  ASSERT_EQ(pipe(fds), 0);
  const int wake = eventfd(1, EFD_CLOEXEC);
  EXPECT_EQ(cli::WaitForStartLine(fds[0], wake, units), cli::StartWait::Interrupted);
  close(wake);
  close(fds[0]);
  close(fds[1]);
}
