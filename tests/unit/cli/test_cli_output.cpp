// Result output and the console host's reading of the engine's reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CliOutput.h"
#include "ConsoleHost.h"
#include "protocol/CommandCodes.h"
#include "json_check.h"

using namespace cli;

TEST(CliOutput, JsonObjectsParseWhateverTheTextHolds) {
  ResultLine line;
  line.command = "version";
  line.message = "Version query success! \"Q\\VX\"\n\t\x01";
  line.fields = {Field::Str("version", std::string("QVX\xff\xfe 2.00")),  // not UTF-8
                 Field::Str("chinese", "设置临时波特率成功!"),
                 Field::Int("model", 8),
                 Field::Num("seconds", 1.234),
                 Field::Bool("decoded", false),
                 Field::Num("sharpness", std::nan(""))};  // a figure of an empty picture
  std::string json = JsonObject(line);
  auto members = jsoncheck::ParseObject(json);
  ASSERT_TRUE(members) << json;
  EXPECT_EQ((*members)["command"].text, "version");
  EXPECT_EQ((*members)["ok"].text, "true");
  EXPECT_EQ((*members)["message"].text, line.message);
  EXPECT_EQ((*members)["version"].text, "QVX\xEF\xBF\xBD\xEF\xBF\xBD 2.00");
  EXPECT_EQ((*members)["chinese"].text, "设置临时波特率成功!");
  EXPECT_EQ((*members)["model"].text, "8");
  EXPECT_EQ((*members)["seconds"].text, "1.23");
  EXPECT_EQ((*members)["decoded"].text, "false");
  EXPECT_EQ((*members)["sharpness"].kind, jsoncheck::Value::Null);  // "nan" is no JSON

  // Truncated and overlong UTF-8 sequences and encoded surrogates are replaced too.
  for (std::string bad : {std::string("\xe4\xb8"), std::string("\xc0\xaf"),
                          std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80")}) {
    std::string s = JsonString(bad);
    EXPECT_NE(s.find("\\ufffd"), std::string::npos) << s;
    EXPECT_TRUE(jsoncheck::ParseObject("{\"k\":" + s + "}")) << s;
  }
}

TEST(CliOutput, TextModeWritesTheLineAndJsonModeOneObjectPerResult) {
  std::ostringstream out, err;
  ResultWriter text(out, err, false);
  ResultLine a;
  a.command = "compression";
  a.message = "Set compression success!";
  text.Result(a);
  ResultLine b = a;
  b.text = "custom\nsecond";
  text.Result(b);
  text.Error("no reply to CMD_SET_COMPRESSION within 5000 ms");
  EXPECT_EQ(out.str(), "Set compression success!\ncustom\nsecond\n");
  EXPECT_EQ(err.str(), "brevant-cli: no reply to CMD_SET_COMPRESSION within 5000 ms\n");

  std::ostringstream jout, jerr;
  ResultWriter json(jout, jerr, true);
  json.Result(a);
  json.Result(b);
  std::istringstream lines(jout.str());
  std::string l;
  int count = 0;
  while (std::getline(lines, l)) {
    EXPECT_TRUE(jsoncheck::ParseObject(l)) << l;
    ++count;
  }
  EXPECT_EQ(count, 2);

  // Kept for a reader of the outcome: the same lines, typed and without the prefix, and
  // nothing on the streams.
  std::ostringstream kout, kerr;
  ResultWriter kept(kout, kerr, false);
  kept.Keep();
  kept.Result(a);
  kept.Result(b);
  kept.Error("refused\nby the camera");
  const ResultWriter::Kept got = kept.TakeKept();
  EXPECT_EQ(got.output, (std::vector<std::string>{"Set compression success!", "custom", "second"}));
  EXPECT_EQ(got.diagnostics, (std::vector<std::string>{"refused", "by the camera"}));
  EXPECT_EQ(kout.str() + kerr.str(), "");
  EXPECT_TRUE(kept.TakeKept().output.empty()) << "taken twice";
}

TEST(ConsoleHost, TracesAsPlainLinesAndHandsOverResultsEventsAndBoxesOnce) {
  std::ostringstream out, err;
  ResultWriter writer(out, err, false);
  CConsoleHost host(&writer, true);
  const uint8_t request[] = {0x56, 0x00, 0x11, 0x00}, reply[] = {0x76, 0x00, 0x11, 0x00, 0x0B};
  host.TraceBytes(true, request, sizeof request);
  host.TraceBytes(false, reply, 3);
  host.TraceBytes(false, reply + 3, 2);
  host.FinishTrace();
  EXPECT_EQ(err.str(), "\n\nTX :56 00 11 00 \nRx :76 00 11 00 0B \n");
  EXPECT_TRUE(out.str().empty());

  // --decode: frame by frame, the reply split over two reads as one frame, the unfinished
  // rest told at the end.
  std::ostringstream decoded;
  ResultWriter decodedWriter(out, decoded, false);
  CConsoleHost decoding(&decodedWriter, true);
  decoding.SetDecode(true);
  const uint8_t version[] = {0x76, 0x00, 0x11, 0x00, 0x01, 'V', 0x76, 0x00};
  decoding.TraceBytes(true, request, sizeof request);
  decoding.TraceBytes(false, version, 3);
  decoding.TraceBytes(false, version + 3, 5);
  decoding.FinishTrace();
  const std::string pad(52 - 4 * 3 - 4 + 1, ' ');
  EXPECT_EQ(decoded.str(), "\n\nTX :56 00 11 00 " + pad + "get version" +
                               "\nRx :76 00 11 00 01 56 " + std::string(pad.size() - 6, ' ') +
                               "version V\nRx :76 00 " + std::string(pad.size() + 6, ' ') +
                               "unrecognised, 2 bytes\n");

  // Anything else written ends an open trace line first; the trace's end adds no second one.
  std::ostringstream mixed;
  ResultWriter mixedWriter(out, mixed, false);
  CConsoleHost plain(&mixedWriter, true);
  plain.TraceBytes(true, request, sizeof request);
  mixedWriter.Error("Setting Fail");
  plain.FinishTrace();
  EXPECT_EQ(mixed.str(), "\n\nTX :56 00 11 00 \nRx :\nbrevant-cli: Setting Fail\n");

  CommandResult off;
  off.code = CMD_MOTION_OFF;
  CameraEvent motion;
  motion.kind = CameraEventKind::Motion;
  motion.count = 2;
  host.CameraEventArrived(motion);
  host.CommandFinished(off);
  auto first = host.TakeReport();
  ASSERT_TRUE(first && first->isEvent);
  EXPECT_EQ(first->event.count, 2);
  EXPECT_TRUE(host.HasReport());
  auto second = host.TakeReport();
  ASSERT_TRUE(second && !second->isEvent);
  EXPECT_EQ(second->result.code, CMD_MOTION_OFF);
  EXPECT_FALSE(host.HasReport());  // what the runner took is not kept

  host.ShowMessage("before the step", "", MsgIcon::Error, MsgButtons::Ok);
  host.DropBoxes();
  EXPECT_EQ(host.ShowMessage("during it", "Cap", MsgIcon::Error, MsgButtons::OkCancel), IDOK);
  auto boxes = host.TakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "during it");
  EXPECT_TRUE(host.TakeBoxes().empty());
}

TEST(ConsoleHost, WaitingWakesOnEveryReport) {
  CConsoleHost host(nullptr, false);
  uint64_t seq = host.Sequence();
  EXPECT_FALSE(host.WaitForChange(seq, std::chrono::milliseconds(1)));
  host.LineFailed("device removed");
  EXPECT_TRUE(host.WaitForChange(seq, std::chrono::milliseconds(1)));
  host.LineFailed("second");
  EXPECT_EQ(host.LineFailure().value_or(""), "device removed");
}
