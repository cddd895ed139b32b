// Command-line checks: every refusal names what is allowed, and accepted values become the
// exact records the engine will send.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "CliOptions.h"
#include "CliRunner.h"
#include "CliValues.h"

using namespace cli;

namespace {

std::vector<std::string> Args(std::initializer_list<const char*> items) {
  return std::vector<std::string>(items.begin(), items.end());
}

ParseResult Parse(std::initializer_list<const char*> items) {
  return ParseCommandLine(Args(items));
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// The record a parsed command will send (throws, failing the test, when it sends another).
template <class Record>
Record Sent(const ParseResult& parsed) {
  return std::get<Record>(parsed.plan.send.payload);
}

}  // namespace

TEST(CliOptions, BadValuesAreUsageErrorsNamingTheAllowedRange) {
  struct Case {
    std::vector<std::string> args;
    const char* expected;  // part of the one-line reason
  };
  const std::string p = "-p";
  const std::string dev = "/dev/null";
  std::vector<Case> cases = {
      {{p, dev, "fill-light", "101"}, "LEVEL must be 0..100"},
      {{p, dev, "fill-light", "-5"}, "LEVEL must be 0..100"},
      {{p, dev, "fill-light", "1e2"}, "LEVEL must be 0..100"},
      {{p, dev, "compression", "0x35"}, "0x36..0x8F"},
      {{p, dev, "compression", "0x90"}, "0x36..0x8F"},
      {{p, dev, "compression", "0x"}, "0x36..0x8F"},
      {{p, dev, "image-size", "800x600"}, "must be one of 160X120"},
      {{p, dev, "default-baud", "250000"}, "must be one of 9600"},
      {{p, dev, "default-baud", "230400"}, "need --yes"},
      {{p, dev, "temp-baud", "230400"}, "9600, 19200, 38400, 57600, 115200"},
      {{p, dev, "power-save", "maybe"}, "expected on or off"},
      {{p, dev, "image-type", "png"}, "jpeg or yuv"},
      {{p, dev, "osd", "5", "AB"}, "LINE must be 1..4"},
      {{p, dev, "osd", "1", "AB", "--x", "101"}, "x or y must be align 2"},
      {{p, dev, "osd", "1", "AB", "--y", "3"}, "x or y must be align 2"},
      {{p, dev, "osd", "1", "AB", "--x", "1920"}, "--x must be 0..1918"},
      {{p, dev, "osd", "1", "AB", "--font", "3"}, "--font must be 0..2"},
      {{p, dev, "osd", "1", "AB", "--color", "12345"}, "0000..FFFF"},
      {{p, dev, "osd", "1", "AB", "--back", "GG"}, "0000..FFFF"},
      {{p, dev, "osd", "1", std::string(161, 'a')}, "limt char max 160"},
      {{p, dev, "osd", "1", "\xff\xfe"}, "not valid UTF-8"},
      {{p, dev, "image-params", "set", "day", "--hlc", "11"}, "--hlc must be 0..10"},
      {{p, dev, "image-params", "set", "day", "--brightness", "256"}, "0..255"},
      {{p, dev, "image-params", "set", "day", "--awb", "70000"}, "--awb must be 300..600"},
      {{p, dev, "image-params", "set", "day", "--awb", "100"}, "--awb must be 300..600"},
      {{p, dev, "crop", "set", "--enable", "1", "--x", "0", "--y", "0", "--width", "20000",
        "--height", "480"},
       "crop: --width must be 32..3840"},
      {{p, dev, "crop", "set", "--enable", "1", "--x", "0", "--y", "0", "--width", "322",
        "--height", "480"},
       "crop: --width must be a multiple of 4"},
      {{p, dev, "image-params", "set", "dusk"}, "expected day or night"},
      {{p, dev, "image-params", "set"}, "day or night is required"},
      {{p, dev, "image-params", "read", "--hue", "3"}, "only for 'image-params set'"},
      {{p, dev, "crop", "set", "--enable", "1", "--x", "8", "--y", "0", "--width", "640",
        "--height", "480"},
       "x must be align 16"},
      {{p, dev, "crop", "set", "--enable", "1", "--x", "16", "--y", "3", "--width", "640",
        "--height", "480"},
       "y must be align 2"},
      {{p, dev, "crop", "set", "--enable", "1", "--x", "16", "--y", "8", "--width", "640"},
       "--height is required"},
      {{p, dev, "crop", "set", "--enable", "2", "--x", "0", "--y", "0", "--width", "1",
        "--height", "1"},
       "--enable must be 0..1"},
      {{p, dev, "motion-capture", "--photos", "6", "--interval", "100", "--next", "10"},
       "--photos must be 1..5"},
      {{p, dev, "motion-capture", "--photos", "3", "--interval", "0", "--next", "10"},
       "--interval must be 1..65535"},
      {{p, dev, "detection-settings", "set", "--threshold", "0"}, "--threshold must be 1..4"},
      {{p, dev, "detection-settings", "set", "--sensitivity", "5"}, "0..4"},
      {{p, dev, "detection-settings", "set", "--type", "cat"}, "motion, person or vehicle"},
      {{p, dev, "burst", "--photos", "0", "--interval", "500"}, "--photos must be 1..5"},
      {{p, dev, "burst", "--photos", "3", "--interval", "10001"}, "0..10000"},
      {{p, dev, "power-on-capture", "--photos", "6", "--interval", "5"}, "0..5"},
      {{p, dev, "capture", "--transmit", "1000"}, "all, 512, 2048"},
      {{p, dev, "capture", "--delay", "10000"}, "0..9999"},
      {{p, dev, "capture", "-n", "0"}, "--count must be 1..1000000"},
      {{p, dev, "read-stored", "0"}, "INDEX must be 1..255"},
      {{p, dev, "monitor", "--for", "0"}, "--for must be"},
      {{p, dev, "-s", "256", "reset"}, "--serial must be 0..255"},
      {{p, dev, "-b", "12345", "reset"}, "--baud must be one of"},
      {{p, dev, "-t", "0", "reset"}, "--timeout must be 1..3600000"},
      {{"reset"}, "--port is required"},
      {{p, "COM0=/dev/ttyS0", "reset"}, "COMn=DEVICE needs n in 1..15"},
      {{p, "COM2=", "reset"}, "COMn=DEVICE needs n in 1..15"},
      {{p, dev}, "no command given"},
      {{p, dev, "selfie"}, "unknown command 'selfie'"},
      {{p, dev, "reset", "--bogus"}, "unknown option '--bogus' for reset"},
      {{p, dev, "reset", "now"}, "unexpected argument 'now'"},
      {{p, dev, "compression"}, "missing argument"},
      {{p, dev, "capture", "--delay", "5", "--delay", "6"}, "given twice"},
      {{p, dev, "capture", "--delay"}, "needs a value"},
      {{p, dev, "default-baud", "921600", "--yes=1"}, "takes no value"},
      {{p, dev, "--trace=1", "reset"}, "takes no value"},
      {{p, dev, "--decode=all", "reset"}, "--decode takes full, deltas or both"},
      {{p, dev, "--decode=full,", "reset"}, "--decode takes full, deltas or both"},
      {{p, dev, "--pcapng=", "reset"}, "--pcapng needs a file name"},
  };
  for (const auto& c : cases) {
    ParseResult r = ParseCommandLine(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.kind, ParseResult::Error) << joined;
    EXPECT_EQ(r.exitStatus, kExitUsage) << joined;
    EXPECT_NE(r.text.find(c.expected), std::string::npos) << joined << "-> " << r.text;
  }
}

TEST(CliOptions, DefaultBaudWarningIsTheWindowsTextAndYesAcceptsIt) {
  ParseResult refused = Parse({"-p", "/dev/x", "default-baud", "460800"});
  ASSERT_EQ(refused.kind, ParseResult::Error);
  EXPECT_NE(refused.text.find("RS485 serial：limt max 115200bps"), std::string::npos);
  EXPECT_NE(refused.text.find("Becasue wrong baud may cause communication fail!"),
            std::string::npos);

  ParseResult accepted = Parse({"-p", "/dev/x", "default-baud", "460800", "--yes"});
  ASSERT_EQ(accepted.kind, ParseResult::Run) << accepted.text;
  EXPECT_EQ(accepted.plan.send.Value(), 460800u);
  // 115200 and below need no confirmation.
  EXPECT_EQ(Parse({"-p", "/dev/x", "default-baud", "115200"}).kind, ParseResult::Run);
}

TEST(CliOptions, GlobalOptionsAnywhereAndBothValueForms) {
  ParseResult r = Parse({"capture", "--port=/dev/ttyUSB3", "-n3", "--delay", "250", "-b",
                         "115200", "--serial=7", "-t", "900", "-o", "/tmp", "--json", "--trace",
                         "--transmit", "8196", "--type=yuv"});
  ASSERT_EQ(r.kind, ParseResult::Run) << r.text;
  EXPECT_EQ(r.global.port, "/dev/ttyUSB3");
  EXPECT_EQ(r.global.baud, 115200u);
  EXPECT_EQ(r.global.serial, 7);
  EXPECT_EQ(r.global.timeoutMs, 900u);
  EXPECT_EQ(r.global.outDir, "/tmp");
  EXPECT_TRUE(r.global.json);
  EXPECT_TRUE(r.global.trace);
  EXPECT_EQ(r.plan.command, Command::Capture);
  EXPECT_EQ(r.plan.count, 3u);
  EXPECT_EQ(r.plan.delayMs, 250u);
  EXPECT_EQ(r.plan.transmit, 4);  // the 8192-byte block, captioned "8196Byte once"
  EXPECT_EQ(r.plan.imageType, 1);
  EXPECT_TRUE(r.plan.WritesPictures());
}

TEST(CliOptions, ValuesBecomeTheSentRecords) {
  // Image sizes in either case of x; position + 1 is the size index.
  EXPECT_EQ(Parse({"-p", "d", "image-size", "1920x1080"}).plan.send.Value(), 7u);
  EXPECT_EQ(Parse({"-p", "d", "image-size", "3200X1800"}).plan.send.Value(), 12u);
  EXPECT_EQ(Parse({"-p", "d", "image-size", "160X120"}).plan.send.Value(), 1u);
  EXPECT_EQ(Parse({"-p", "d", "compression", "0x8f"}).plan.send.Value(), 0x8Fu);
  EXPECT_EQ(Parse({"-p", "d", "compression", "54"}).plan.send.Value(), 0x36u);

  // OSD: defaults of the dialog's first opening, the line index, the GB18030 bytes.
  ParseResult osd = Parse({"-p", "d", "osd", "3", "中文AB"});
  ASSERT_EQ(osd.kind, ParseResult::Run) << osd.text;
  EXPECT_EQ(osd.plan.osdLine, 2);
  EXPECT_EQ(Sent<OsdLineSetting>(osd).line, 2);
  EXPECT_EQ(Sent<OsdLineSetting>(osd).display, 1);
  EXPECT_EQ(Sent<OsdLineSetting>(osd).font, 2);
  // Fields of the packed wire records are read by value (+): a reference to one is misaligned.
  EXPECT_EQ(+Sent<OsdLineSetting>(osd).fontColor, 0x007C);
  EXPECT_EQ(+Sent<OsdLineSetting>(osd).backColor, 0xFFFF);
  EXPECT_EQ(Hex(osd.plan.osdBytes), "D6 D0 CE C4 41 42");
  EXPECT_EQ(Sent<OsdLineSetting>(osd).length, 6);
  EXPECT_EQ(std::string(Sent<OsdLineSetting>(osd).text), osd.plan.osdBytes);

  ParseResult osd2 = Parse({"-p", "d", "osd", "1", "x", "--display", "0", "--font", "0", "--x",
                            "100", "--y", "40", "--color", "7c00", "--back", "0x1F"});
  ASSERT_EQ(osd2.kind, ParseResult::Run) << osd2.text;
  EXPECT_EQ(Sent<OsdLineSetting>(osd2).display, 0);
  EXPECT_EQ(Sent<OsdLineSetting>(osd2).font, 0);
  EXPECT_EQ(+Sent<OsdLineSetting>(osd2).x, 100);
  EXPECT_EQ(+Sent<OsdLineSetting>(osd2).y, 40);
  EXPECT_EQ(+Sent<OsdLineSetting>(osd2).fontColor, 0x7C00);
  EXPECT_EQ(+Sent<OsdLineSetting>(osd2).backColor, 0x001F);

  // 80 Chinese characters are exactly 160 bytes; one more is refused.
  std::string eighty;
  for (int i = 0; i < 80; ++i) eighty += "中";
  ParseResult full = ParseCommandLine({"-p", "d", "osd", "4", eighty});
  ASSERT_EQ(full.kind, ParseResult::Run) << full.text;
  EXPECT_EQ(Sent<OsdLineSetting>(full).length, 160);
  EXPECT_EQ(ParseCommandLine({"-p", "d", "osd", "4", eighty + "中"}).kind, ParseResult::Error);

  // Image parameters: unset fields take the window's defaults; awb auto keeps 341.
  ParseResult ip = Parse({"-p", "d", "image-params", "set", "night", "--contrast", "7"});
  ASSERT_EQ(ip.kind, ParseResult::Run) << ip.text;
  const ImageParams p = Sent<ImageParams>(ip);
  EXPECT_EQ(p.mode, 1);
  EXPECT_EQ(p.brightness, 128);
  EXPECT_EQ(p.contrast, 7);
  EXPECT_EQ(p.sharpness, 128);
  EXPECT_EQ(p.saturation, 128);
  EXPECT_EQ(p.hue, 128);
  EXPECT_EQ(p.manualWhiteBalance, 0);
  EXPECT_EQ(p.whiteBalanceHigh, 0x01);
  EXPECT_EQ(p.whiteBalanceLow, 0x55);
  EXPECT_EQ(p.exposure, 0);
  EXPECT_EQ(p.hlc, 4);
  // A manual white balance goes to the camera as given.
  ParseResult awb = Parse({"-p", "d", "image-params", "set", "day", "--awb", "600"});
  EXPECT_EQ(Sent<ImageParams>(awb).manualWhiteBalance, 1);
  EXPECT_EQ(Sent<ImageParams>(awb).whiteBalanceHigh, 0x02);
  EXPECT_EQ(Sent<ImageParams>(awb).whiteBalanceLow, 0x58);

  // Image parameter reads and resets do both sets unless one is named.
  EXPECT_EQ(Parse({"-p", "d", "image-params", "read"}).plan.selectors,
            (std::vector<uint8_t>{0, 1}));
  EXPECT_EQ(Parse({"-p", "d", "image-params", "reset", "night"}).plan.selectors,
            (std::vector<uint8_t>{1}));

  // Detection settings: the Intelligent Detection dialog's values where none are given.
  ParseResult ds = Parse({"-p", "d", "detection-settings", "set", "--type", "vehicle",
                          "--interval", "1000", "--target", "1"});
  ASSERT_EQ(ds.kind, ParseResult::Run) << ds.text;
  const DetectSettings d = Sent<DetectSettings>(ds);
  EXPECT_EQ(d.type, 2);
  EXPECT_EQ(d.interval, 1000);
  EXPECT_EQ(d.targetSelect, 1);
  EXPECT_EQ(d.powerOnDetect, 0);
  EXPECT_EQ(d.sensitivity, 3);
  EXPECT_EQ(d.mode, 0);
  EXPECT_EQ(d.threshold, 1);
  EXPECT_EQ(d.distance, 2);
  EXPECT_EQ(d.photos, 3);
  EXPECT_EQ(d.nextDetect, 10);

  // Whether the window fits the picture is the camera's to judge.
  ParseResult crop = Parse({"-p", "d", "crop", "set", "--enable", "1", "--x", "16", "--y", "8",
                            "--width", "3840", "--height", "32"});
  ASSERT_EQ(crop.kind, ParseResult::Run) << crop.text;
  EXPECT_EQ(Sent<CropSettings>(crop).enable, 1);
  EXPECT_EQ(+Sent<CropSettings>(crop).x, 16);
  EXPECT_EQ(+Sent<CropSettings>(crop).y, 8);
  EXPECT_EQ(+Sent<CropSettings>(crop).width, 3840);
  EXPECT_EQ(+Sent<CropSettings>(crop).height, 32);
  EXPECT_EQ(Sent<CropSettings>(crop).operation, 1);

  // A leading dash after "--" is text, not an option.
  ParseResult dash = Parse({"-p", "d", "osd", "2", "--", "-5 C"});
  ASSERT_EQ(dash.kind, ParseResult::Run) << dash.text;
  EXPECT_EQ(dash.plan.osdBytes, "-5 C");
}

TEST(CliOptions, HelpNeedsNoPortAndDocumentsEveryCommand) {
  ParseResult general = Parse({"--help"});
  ASSERT_EQ(general.kind, ParseResult::Help);
  EXPECT_EQ(general.exitStatus, kExitOk);
  for (const char* name :
       {"version", "settings", "capture", "read-stored", "reset", "image-size", "compression",
        "default-baud", "temp-baud", "power-save", "fill-light", "image-type", "detection", "osd",
        "image-params", "crop", "motion-capture", "detection-settings", "burst",
        "power-on-capture", "monitor", "--timeout", "--json", "--trace", "Exit status"}) {
    EXPECT_NE(general.text.find(name), std::string::npos) << name;
  }
  // Each command has its own page, whatever else is on the line.
  ParseResult capture = Parse({"capture", "--delay", "99999", "--help"});
  ASSERT_EQ(capture.kind, ParseResult::Help);
  EXPECT_NE(capture.text.find("capture [-n COUNT]"), std::string::npos);
  EXPECT_EQ(capture.text.find("image-size WxH"), std::string::npos);

  // The runner prints help on stdout and a usage error on stderr with status 2.
  std::ostringstream out, err;
  EXPECT_EQ(RunCli({"osd", "-h"}, out, err), kExitOk);
  EXPECT_NE(out.str().find("osd LINE TEXT"), std::string::npos);
  std::ostringstream out2, err2;
  EXPECT_EQ(RunCli({"-p", "/nonexistent", "fill-light", "150"}, out2, err2), kExitUsage);
  EXPECT_TRUE(out2.str().empty());
  EXPECT_NE(err2.str().find("LEVEL must be 0..100"), std::string::npos);
}

TEST(CliOptions, PictureFolderIsCheckedBeforeAnything) {
  std::ostringstream out, err;
  // The port does not exist either: the folder check comes first and is a usage error.
  EXPECT_EQ(RunCli({"-p", "/nonexistent/tty", "-o", "/nonexistent/folder", "capture"}, out, err),
            kExitUsage);
  EXPECT_NE(err.str().find("--out"), std::string::npos);
}

TEST(CliValues, StrictNumberAndTableParsers) {
  EXPECT_EQ(ParseUnsigned("0", 0, 5), 0ul);
  EXPECT_FALSE(ParseUnsigned("", 0, 5));
  EXPECT_FALSE(ParseUnsigned("+1", 0, 5));
  EXPECT_FALSE(ParseUnsigned(" 1", 0, 5));
  EXPECT_FALSE(ParseUnsigned("99999999999", 0, ~0ul));
  EXPECT_EQ(ParseHex16("FFFF"), 0xFFFF);
  EXPECT_EQ(ParseHex16("0x7c"), 0x7C);
  EXPECT_FALSE(ParseHex16("0x"));
  EXPECT_FALSE(ParseHex16("1FFFF"));
  EXPECT_EQ(TransmitIndex("all"), 0);
  EXPECT_EQ(TransmitIndex("512"), 1);
  EXPECT_EQ(TransmitIndex("10240"), 5);
  EXPECT_FALSE(TransmitIndex("0"));
  EXPECT_EQ(ImageSizeText(14), "3840X2160");
  EXPECT_EQ(ImageSizeText(0), "");
}
