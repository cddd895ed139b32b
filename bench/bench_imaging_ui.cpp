// File to pixels on screen: the picture view's LoadImageFile (decode into the bitmap, which
// the view takes over) followed by its first paint (the image drawn is made from the
// bitmap's rows: flipped, and for this picture smoothly reduced to the 640x480 view) of a
// 3840x2160 photo-like JPEG (q85, 4:2:0), against TurboJPEG's tjDecompress2 into a bottom-up
// BGR buffer with 4-byte pitch (file read and buffer included).
// Figures are the fastest of interleaved runs in process CPU time; the ratios are what to read.
#include <turbojpeg.h>

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "BenchTiming.h"
#include "jpeg_test_util.h"
#include "controls/ImageStatic.h"

namespace {

constexpr int kW = 3840, kH = 2160;

void Row(const char* what, double anchorMs, double oursMs, const char* target, bool met) {
  std::printf("| %-40s | %9.2f | %9.2f | %6.2fx | %-8s | %-4s |\n", what, anchorMs, oursMs,
              oursMs / anchorMs, target, met ? "met" : "MISS");
}

}  // namespace

int main(int argc, char** argv) {
  bench::KeepLargeBuffersOnTheHeap();
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  testsupport::TempFolder dir;
  const std::string path = dir.File("jpeg.tmp");
  {
    const auto rgb = jpegtest::MakePhotoLikeRgb(kW, kH, 2024);
    jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(rgb.data(), kW, kH, 3));
  }

  tjhandle tj = tjInitDecompress();
  const int pitch = (kW * 3 + 3) & ~3;
  auto turbo = [&] {
    const auto jpeg = testsupport::ReadFile(path);
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &subsamp, &colorspace);
    std::unique_ptr<unsigned char[]> out(new unsigned char[static_cast<size_t>(pitch) * h]);
    if (tjDecompress2(tj, jpeg.data(), jpeg.size(), out.get(), w, pitch, h, TJPF_BGR,
                      TJFLAG_BOTTOMUP) != 0)
      std::fprintf(stderr, "tjDecompress2: %s\n", tjGetErrorStr2(tj));
  };

  CImageStatic view(nullptr);
  view.resize(view.sizeHint());
  auto load = [&] {
    if (!view.LoadImageFile(path)) std::fprintf(stderr, "LoadImageFile failed\n");
  };
  // A fresh load each time, so the paint cannot reuse the previous reduction.
  auto loadAndPaint = [&] {
    load();
    if (view.grab().isNull()) std::fprintf(stderr, "paint failed\n");
  };

  std::printf("File to pixels on screen, %dx%d JPEG q85 4:2:0; anchor tjDecompress2 BGR\n\n", kW,
              kH);
  std::printf("| %-40s | %9s | %9s | %7s | %-8s | %-4s |\n", "operation", "anchor ms", "ours ms",
              "ratio", "target", "");
  std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(42, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str(),
              std::string(9, '-').c_str(), std::string(10, '-').c_str(),
              std::string(6, '-').c_str());
  auto [tjS, paintS] = bench::Compare(15, turbo, loadAndPaint);
  Row("LoadImageFile + first paint (on screen)", tjS * 1e3, paintS * 1e3, "<= 1.30x",
      paintS / tjS <= 1.30);
  auto [tjS2, loadS] = bench::Compare(9, turbo, load);
  Row("LoadImageFile alone (decode, attach)", tjS2 * 1e3, loadS * 1e3, "-", true);
  const std::shared_ptr<const CDib> dib = view.CurrentDib();
  auto reduce = [&] {
    if (ReduceDib24(*dib, QSize(640, 480)).isNull()) std::fprintf(stderr, "reduce failed\n");
  };
  auto [tjS3, reduceS] = bench::Compare(9, turbo, reduce);
  Row("ReduceDib24 to 640x480 (in the paint)", tjS3 * 1e3, reduceS * 1e3, "-", true);
  tjDestroy(tj);
  return 0;
}
