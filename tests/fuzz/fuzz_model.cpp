// Model identification on whatever a camera (or a line at the wrong baud rate) puts in
// the version reply: any bytes, any length, numbers out of every range.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "core/ModelIdentification.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  ModelInfo previous;
  previous.modelCode = in.U8();
  previous.modelVariant = in.U8();
  previous.versionMajor = in.U8();
  previous.versionMinor = in.U8();
  previous.firmwareVersion = previous.versionMajor * 100 + previous.versionMinor;
  const std::string text(reinterpret_cast<const char*>(in.Rest()), in.Left());

  const Identification id = ParseVersionText(text, previous);
  Check(id.row >= 0 && id.row <= 16);
  if (id.listsRefilled) {
    Check(id.defaultRates.size() <= RateItems().size());
    Check(id.imageSizes.size() <= ImageSizeItems().size());
  }
  // The same text and starting point always give the same answer.
  const Identification again = ParseVersionText(text, previous);
  Check(again.row == id.row && again.info.modelCode == id.info.modelCode &&
        again.info.firmwareVersion == id.info.firmwareVersion);

  IsLevelLightModel(id.info.modelCode);
  ChooseIntelligentDetection(id.info);
  OsdUsesLargeFonts(id.info.modelCode);
  PowerOnCaptureAllowed(id.info);

  int major = -7, minor = -7;
  const int converted = ScanVersion(text, "V%d.%d", major, minor);
  Check(converted >= -1 && converted <= 2);
  if (converted < 2) Check(minor == -7);
  if (converted < 1) Check(major == -7);
  return 0;
}
