#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "core/ControlStates.h"
#include "core/ModelIdentification.h"

namespace {

// The enabled state of every control, driven the way the window drives it.
struct Window {
  std::map<int, bool> enabled;
  ModelInfo info;
  int defaultRateCount = 5;
  int imageSizeCount = 3;
  int fillLightCount = 0;

  Window() { Gate(false, 0); }
  void Gate(bool open, int captureMode) {
    ApplyEnableChanges(enabled, UpdateControlStates(
                                    {open, captureMode, info.modelCode, info.firmwareVersion}));
  }
  Identification Identify(const std::string& text) {
    Identification id = ParseVersionText(text, info);
    info = id.info;
    ApplyEnableChanges(enabled, id.enables);
    if (id.listsRefilled) {
      defaultRates = id.defaultRates;
      defaultRateCount = static_cast<int>(id.defaultRates.size());
      imageSizeCount = static_cast<int>(id.imageSizes.size());
      fillLightCount = static_cast<int>(id.fillLights.size());
    }
    Gate(true, 0);
    return id;
  }
  // Open, identify, settle in the idle state.
  Identification OpenAndIdentify(const std::string& text) {
    Gate(true, 0);
    return Identify(text);
  }
  void Close() {
    info.modelCode = 0;
    info.modelVariant = 0;
    Gate(false, 0);
  }
  bool On(int id) const { return enabled.at(id); }
  std::vector<std::string> defaultRates;
};

}  // namespace

// The scanner must agree with the C library's sscanf on every shape of text a camera (or a
// broken line) can produce; that agreement is what the model table's patterns rely on.
TEST(ModelIdentification, ScanAgreesWithSscanf) {
  const char* patterns[] = {"QVX1M3 %d.%d", "QVX2M2 %d.%d", "QVX2M2E %d.%d", "QVX09-30 %d.%d"};
  const char* texts[] = {
      "", "Q", "QVX", "QVX1", "QVX1M3", "QVX1M3 ", "QVX1M3 1", "QVX1M3 1.", "QVX1M3 1.02",
      "QVX1M31.02", "QVX1M3\t 1 . 02", "QVX1M3 1. 2", "QVX1M3 -", "QVX1M3 +", "QVX1M3 -x",
      "QVX1M3 x", "QVX1M3 1x", "QVX1M3 +1.+2", "QVX1M3 1.-2", "QVX1M3 1.-", " QVX1M3 1.02",
      "qvx1m3 1.02", "QVX2M2 1.00", "QVX2M2E 1.01", "QVX2M2E1.01", "QVX2M2E", "QVX2M2 E1.0",
      "QVX09-30 1.00", "QVX09-30 2.10\r\n", "QVX09-3", "QVX09-300 1.00", "QVX1M3 007.0009",
      "QVX1M3 2147483.5", "QVX2M2\n1.05", "QVX1M3 1.02 build 7"};
  for (const char* pattern : patterns) {
    for (const char* text : texts) {
      int a = -7, b = -7, ea = -7, eb = -7;
      const int got = ScanVersion(text, pattern, a, b);
      const int expected = std::sscanf(text, pattern, &ea, &eb);
      SCOPED_TRACE(std::string(pattern) + " on [" + text + "]");
      EXPECT_EQ(got, expected);
      EXPECT_EQ(a, ea);
      EXPECT_EQ(b, eb);
    }
  }
  int a = 0, b = 0;  // absurdly long numbers saturate instead of overflowing
  EXPECT_EQ(ScanVersion("QVX1M3 99999999999999999999.1", "QVX1M3 %d.%d", a, b), 2);
  EXPECT_GT(a, 0);
  EXPECT_EQ(b, 1);
}

TEST(ModelIdentification, ModelTable) {
  struct Case {
    const char* text;
    int row, model, variant, firmware, rates, sizes, fill;
    bool readSettings, imageTypeReset;
  };
  const Case cases[] = {
      {"QVX0806NB", 1, 0, 0, 0, 5, 3, 2, false, false},
      {"xxQVX0806", 1, 0, 0, 0, 5, 3, 2, false, false},
      {"QVX1M3 1.00", 2, 1, 0, 100, 7, 9, 2, false, false},
      {"QVX1M3 1.02", 2, 1, 0, 102, 7, 9, 2, false, false},
      {"QVX1M3 1.03", 2, 1, 0, 103, 8, 9, 2, false, false},
      {"QVX1M3 2.01", 2, 1, 0, 201, 8, 9, 2, false, false},
      {"QVX1M3", 2, 1, 0, 0, 8, 9, 2, false, false},  // text ends before the number
      {"QVX2M0 1.05", 3, 2, 0, 105, 8, 7, 2, false, true},
      {"QVX1M0 1.00", 4, 3, 0, 100, 8, 5, 2, false, true},
      {"QVX2M2 1.06", 5, 5, 0, 106, 8, 7, 101, true, true},
      {"QVX2M2E 1.01", 6, 5, 6, 101, 8, 7, 101, true, true},
      {"QVX3M0 1.00", 7, 4, 0, 100, 8, 9, 101, true, true},
      {"QVX3M0E 1.02", 8, 4, 7, 102, 8, 9, 101, true, true},
      {"QVX5M0 2.00", 9, 8, 0, 200, 8, 11, 101, true, true},
      {"QVX5M0E 2.00", 10, 8, 9, 200, 8, 11, 101, true, true},
      {"QVX09-200 1.00", 11, 10, 0, 100, 8, 7, 101, true, true},
      {"QVX09E-200 1.00", 12, 10, 11, 100, 8, 7, 101, true, true},
      {"QVX09-130 1.00", 13, 12, 0, 100, 8, 6, 101, true, true},
      {"QVX09E-130 1.01", 14, 12, 13, 101, 8, 6, 101, true, true},
      {"QVX09-30 1.00", 15, 14, 0, 100, 8, 3, 101, true, true},
      {"QVX8M0 2.00", 16, 15, 0, 200, 8, 14, 101, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Identification id = ParseVersionText(c.text, ModelInfo{});
    EXPECT_EQ(id.row, c.row);
    EXPECT_EQ(id.info.modelCode, c.model);
    EXPECT_EQ(id.info.modelVariant, c.variant);
    EXPECT_EQ(id.info.firmwareVersion, c.firmware);
    ASSERT_TRUE(id.listsRefilled);
    EXPECT_EQ(static_cast<int>(id.defaultRates.size()), c.rates);
    EXPECT_EQ(static_cast<int>(id.imageSizes.size()), c.sizes);
    EXPECT_EQ(static_cast<int>(id.fillLights.size()), c.fill);
    EXPECT_EQ(id.sendReadSettings, c.readSettings);
    EXPECT_EQ(id.resetImageType, c.imageTypeReset);
    EXPECT_EQ(id.resetFillLightIndex, c.readSettings);
  }
  const Identification q = ParseVersionText("QVX1M3 1.02", {});
  EXPECT_EQ(q.defaultRates.back(), "460800");
  EXPECT_EQ(q.imageSizes.back(), "2304X1296");
  const Identification e = ParseVersionText("QVX8M0 2.00", {});
  EXPECT_EQ(e.imageSizes[11], "3200x1800");
  EXPECT_EQ(e.fillLights[35], "35%");
  EXPECT_EQ(e.fillLights[100], "100%");
  // The longest frame length believed follows the model's largest size; cameras not
  // identified get the family's.
  EXPECT_EQ(ParseVersionText("QVX09-30 1.00", {}).pictureLimit, PlausiblePictureLength(640, 480));
  EXPECT_EQ(ParseVersionText("QVX2M0 1.00", {}).pictureLimit, PlausiblePictureLength(1920, 1080));
  EXPECT_EQ(e.pictureLimit, PlausiblePictureLength(3840, 2160));
  EXPECT_EQ(ParseVersionText("HELLO 1.00", {}).pictureLimit, kFamilyPictureLimit);
}

// Texts that change nothing or only part of the identification keep what was there.
TEST(ModelIdentification, UnknownAndUnmatchedTextsKeepState) {
  const ModelInfo prev{5, 6, 1, 1, 101};
  for (const char* text : {"", "HELLO 1.00", "qvx2m2 1.00", "RI07"}) {
    SCOPED_TRACE(text);
    const Identification id = ParseVersionText(text, prev);
    EXPECT_FALSE(id.listsRefilled);
    EXPECT_TRUE(id.enables.empty());
    EXPECT_FALSE(id.sendReadSettings);
    EXPECT_EQ(id.info.modelCode, 5);
    EXPECT_EQ(id.info.modelVariant, 6);
    EXPECT_EQ(id.info.firmwareVersion, 101);
  }
  // A family name whose text fits no pattern: model and variant kept, version 0, all sizes.
  const Identification id = ParseVersionText("V QVX2M0 1.00", prev);
  EXPECT_EQ(id.row, 0);
  EXPECT_EQ(id.info.modelCode, 5);
  EXPECT_EQ(id.info.modelVariant, 6);
  EXPECT_EQ(id.info.firmwareVersion, 0);
  EXPECT_EQ(id.imageSizes.size(), 14u);
  EXPECT_EQ(id.defaultRates.size(), 8u);
  EXPECT_TRUE(id.sendReadSettings);  // still a level-light model
  // After a Close the previous model is 0: the same text then gives the basic camera.
  const Identification closed = ParseVersionText("V QVX2M0 1.00", ModelInfo{});
  EXPECT_EQ(closed.info.modelCode, 0);
  EXPECT_FALSE(closed.sendReadSettings);
  // A plain model never clears the variant an "E" model set before.
  EXPECT_EQ(ParseVersionText("QVX3M0 1.00", prev).info.modelVariant, 6);
}

TEST(ControlStates, ClosedAndCapturingStates) {
  Window w;
  EXPECT_TRUE(w.On(IDC_PORT));
  EXPECT_TRUE(w.On(IDC_BAUD));
  for (int id : {IDC_SINGLE_CAPTURE, IDC_CONTINUES_CAPTURE, IDC_STOP_CAPTURE, IDC_SAVE,
                 IDC_BROWSE, IDC_SERIAL_NO, IDC_DEFAULT_RATE, IDC_IMAGE_SIZE, IDC_FILL_LIGHT,
                 IDC_OSD, IDC_MORE, IDC_TRANSMIT, IDC_COMPRESSION, IDC_CONTINUE_DELAY,
                 IDC_IMAGE_TYPE, IDC_READ, IDC_DETECT_OPEN, IDC_RESET})
    EXPECT_FALSE(w.On(id)) << id;

  for (const char* text : {"QVX8M0 2.00", "QVX0806NB", "QVX1M3 1.09"}) {
    SCOPED_TRACE(text);
    Window m;
    m.OpenAndIdentify(text);
    const std::map<int, bool> idle = m.enabled;
    m.Gate(true, 1);
    for (const auto& [id, on] : m.enabled) {
      const bool expected = id == IDC_STOP_CAPTURE || id == IDC_EXIT;
      if (id == IDC_MORE || id == IDC_BURST5) continue;  // hidden or model-set, checked below
      EXPECT_EQ(on, expected) << id;
    }
    m.Gate(true, 0);  // "Stop Capture": the model's set returns
    for (const auto& [id, on] : idle) EXPECT_EQ(m.enabled.at(id), on) << id;
  }
}

TEST(ControlStates, FeatureSetPerModel) {
  struct Case {
    const char* text;
    bool fill, osd, more, compression, crop, imageControl, imageType;
  };
  const Case cases[] = {
      {"QVX0806NB", false, false, false, true, false, false, false},
      {"QVX1M3 1.02", true, false, false, false, false, false, false},
      {"QVX1M3 1.03", true, true, false, false, false, false, false},
      {"QVX1M3 1.06", true, true, true, false, false, false, false},
      {"QVX1M3 1.08", true, true, true, true, false, false, false},
      {"QVX1M3 1.09", true, true, true, true, true, false, false},
      {"QVX1M3 0.50", true, true, false, false, false, false, false},  // OSD left on
      {"QVX2M0 1.02", true, true, false, false, false, false, false},
      {"QVX2M0 1.03", true, true, true, false, false, false, false},
      {"QVX2M0 1.06", true, true, true, true, false, false, false},
      {"QVX2M0 1.07", true, true, true, true, true, false, false},
      {"QVX1M0 1.00", true, true, true, true, true, false, false},
      {"QVX3M0 1.00", true, true, true, true, true, false, false},
      {"QVX2M2E 1.01", true, true, true, true, true, true, false},
      {"QVX3M0E 1.06", true, true, true, true, true, true, true},
      {"QVX5M0 1.00", true, true, true, true, true, true, true},
      {"QVX09-30 1.00", true, true, true, true, true, true, true},
      {"QVX8M0 2.00", true, true, true, true, true, true, true},
      {"UNKNOWN", false, false, false, true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Window w;
    w.OpenAndIdentify(c.text);
    EXPECT_EQ(w.On(IDC_FILL_LIGHT), c.fill);
    EXPECT_EQ(w.On(IDC_FILL_LIGHT_SET), c.fill);
    EXPECT_EQ(w.On(IDC_OSD), c.osd);
    EXPECT_EQ(w.On(IDC_MORE), c.more);
    EXPECT_EQ(w.On(IDC_MULTI_CAPTURE), c.more);
    EXPECT_EQ(w.On(IDC_COMPRESSION), c.compression);
    EXPECT_EQ(w.On(IDC_COMPRESSION_SET), c.compression);
    EXPECT_EQ(w.On(IDC_REGION_CROP), c.crop);
    EXPECT_EQ(w.On(IDC_IMAGE_CONTROL), c.imageControl);
    EXPECT_EQ(w.On(IDC_IMAGE_TYPE), c.imageType);
    for (int id : {IDC_SINGLE_CAPTURE, IDC_CONTINUES_CAPTURE, IDC_RESET, IDC_SAVE, IDC_IMAGE_SIZE,
                   IDC_IMAGE_SIZE_SET, IDC_TRANSMIT, IDC_DETECT_OPEN, IDC_CONTINUE_DELAY})
      EXPECT_TRUE(w.On(id)) << id;
    EXPECT_FALSE(w.On(IDC_STOP_CAPTURE));
    EXPECT_FALSE(w.On(IDC_PORT));
  }

  // Early QVX1M3 firmware: OSD stays as identification left it until a capture clears it.
  Window early;
  early.OpenAndIdentify("QVX1M3 0.50");
  early.Gate(true, 1);
  early.Gate(true, 0);
  EXPECT_FALSE(early.On(IDC_OSD));

  // Close while identified: the next Open starts from the basic set.
  Window w;
  w.OpenAndIdentify("QVX8M0 2.00");
  w.Close();
  w.Gate(true, 0);
  for (int id : {IDC_FILL_LIGHT, IDC_OSD, IDC_MORE, IDC_REGION_CROP, IDC_IMAGE_CONTROL,
                 IDC_IMAGE_TYPE})
    EXPECT_FALSE(w.On(id)) << id;
}

TEST(ControlStates, DefaultRateFollowsBaudList) {
  EXPECT_EQ(DefaultRateSelection(3, 8), 3);   // opened at 57600
  EXPECT_EQ(DefaultRateSelection(7, 5), -1);  // 921600 on a five-rate camera: no selection
  EXPECT_EQ(DefaultRateSelection(7, 7), -1);
  EXPECT_EQ(DefaultRateSelection(6, 7), 6);
  EXPECT_EQ(DefaultRateSelection(-1, 8), -1);
}

TEST(ModelIdentification, DialogChoices) {
  struct Case {
    ModelInfo info;
    bool intelligent, largeFonts, powerOn;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0}, false, false, false},
      {{5, 6, 1, 1, 101}, false, true, true},    // QVX2M2E 1.01
      {{5, 6, 1, 2, 102}, true, true, true},     // QVX2M2E 1.02
      {{4, 7, 1, 2, 102}, true, true, true},     // QVX3M0E 1.02
      {{4, 0, 2, 0, 200}, false, true, true},
      {{8, 0, 1, 0, 100}, true, true, true},
      {{8, 9, 1, 0, 100}, true, true, true},
      {{10, 11, 1, 0, 100}, true, true, true},
      {{12, 13, 1, 0, 100}, true, true, true},
      {{12, 0, 1, 0, 100}, false, true, true},
      {{15, 0, 2, 0, 200}, true, true, true},
      {{3, 0, 1, 0, 100}, false, false, false},
      {{1, 0, 2, 1, 201}, false, false, false},
      {{1, 0, 2, 2, 202}, false, false, true},
      {{2, 0, 3, 0, 300}, false, false, false},  // minor below 2, whatever the major
      {{2, 0, 3, 5, 305}, false, false, true},
      {{2, 0, 1, 9, 109}, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info.modelCode * 1000 + c.info.modelVariant * 10);
    EXPECT_EQ(ChooseIntelligentDetection(c.info), c.intelligent);
    EXPECT_EQ(OsdUsesLargeFonts(c.info.modelCode), c.largeFonts);
    EXPECT_EQ(PowerOnCaptureAllowed(c.info), c.powerOn);
  }
}

// Version numbers far too long for an int (a line at the wrong baud rate, odd firmware):
// the version stays a sensible number instead of overflowing.
TEST(ModelIdentification, HugeVersionNumbersDoNotOverflow) {
  const char* texts[] = {
      "QVX5M066666666666666666666666666666666666666666666666666666666611QVX\x8fM0",
      "QVX5M0 99999999999999.99999999999999", "QVX1M3 99999999999.99999999999",
      "QVX2M2 -99999999999.-99999999999", "QVX8M0 1.99999999999"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const Identification id = ParseVersionText(text, ModelInfo{});
    const long long expected =
        static_cast<long long>(id.info.versionMajor) * 100 + id.info.versionMinor;
    EXPECT_EQ(id.info.firmwareVersion, expected);
  }
}
