// Imaging throughput against anchors measured in the same run:
//   LoadImageToDib of a 3840x2160 photo-like JPEG (q85, 4:2:0) vs TurboJPEG's tjDecompress2
//     into a bottom-up BGR buffer with 4-byte row pitch (file read and buffer included in both);
//   ConvertNv12ToBgr of a 3840x2160 frame vs libyuv's NV12ToRGB24 (B,G,R in memory).
//   MeasurePicture of the decoded 4K photo, and of a noisy 4K picture, vs its decode;
//   MeasureFlatField of a 4K flat field's luma vs the decode of that flat as a JPEG.
// Each figure is the fastest of interleaved runs, in process CPU time (the machine is shared:
// this is the figure least disturbed by other work); the ratios are what to read.
#include <libyuv.h>
#include <turbojpeg.h>


#include <algorithm>
#include <ctime>
#include <cstdio>
#include <functional>
#include <vector>

#include "BenchTiming.h"
#include "jpeg_test_util.h"
#include "imaging/JpegFile.h"
#include "imaging/Nv12.h"
#include "imaging/FlatField.h"
#include "imaging/LumaPlane.h"
#include "imaging/PictureFigures.h"
#include "synthetic_pictures.h"

namespace {

constexpr int kW = 3840, kH = 2160;

void Row(const char* what, const char* anchor, double anchorMs, double oursMs, double ratio,
         const char* target, bool met) {
  std::printf("| %-34s | %-22s | %9.2f | %9.2f | %6.2fx | %-8s | %-4s |\n", what, anchor, anchorMs,
              oursMs, ratio, target, met ? "met" : "MISS");
}

}  // namespace

int main() {
  bench::KeepLargeBuffersOnTheHeap();
  testsupport::TempFolder dir;
  const std::string path = dir.File("jpeg.tmp");
  {
    const auto rgb = jpegtest::MakePhotoLikeRgb(kW, kH, 2024);
    jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(rgb.data(), kW, kH, 3));
  }
  const auto frame = jpegtest::MakeNv12Frame(kW, kH, 7);
  std::printf("Imaging, %dx%d: JPEG %zu bytes (q85 4:2:0), NV12 %zu bytes\n\n", kW, kH,
              testsupport::ReadFile(path).size(), frame.size());
  std::printf("| %-34s | %-22s | %9s | %9s | %7s | %-8s | %-4s |\n", "operation", "anchor",
              "anchor ms", "ours ms", "ratio", "target", "");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(),
              std::string(24, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(9, '-').c_str(),
              std::string(10, '-').c_str(), std::string(6, '-').c_str());

  // ---- JPEG file to bottom-up BGR bitmap ----
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
  auto load = [&] {
    CJpegFile decoder;
    if (!decoder.LoadImageToDib(path)) std::fprintf(stderr, "LoadImageToDib failed\n");
  };
  auto pipeline = [&] {
    CJpegFile decoder;
    int w = 0, h = 0, stride = 0;
    auto rgb = decoder.DecodeJpegToRgb(path, w, h);
    CJpegFile::SwapRedBlue(rgb.get(), w, h);
    auto padded = CJpegFile::PadRowsToDword(rgb.get(), w, h, stride);
    rgb.reset();
    CJpegFile::FlipRowsVertically(padded.get(), stride, h);
    CDib dib;
    dib.Attach(CJpegFile::PackDib(padded.get(), w, h, stride));
  };
  auto [tjS, loadS] = bench::Compare(25, turbo, load);
  Row("LoadImageToDib", "tjDecompress2 BGR", tjS * 1e3, loadS * 1e3, loadS / tjS, "<= 1.10x",
      loadS / tjS <= 1.10);
  auto [tjS2, pipeS] = bench::Compare(5, turbo, pipeline);
  Row("step-by-step pipeline (reference)", "tjDecompress2 BGR", tjS2 * 1e3, pipeS * 1e3,
      pipeS / tjS2, "-", true);
  // ---- Picture figures of the decoded picture, against its decode ----
  CJpegFile decoded;
  decoded.LoadImageToDib(path);
  PictureFigures figures;
  auto measure = [&] { figures = MeasurePicture(*decoded.m_pDib); };
  auto [tjS3, measureS] = bench::Compare(25, turbo, measure);
  Row("MeasurePicture", "tjDecompress2 BGR", tjS3 * 1e3, measureS * 1e3, measureS / tjS3,
      "<= 0.10x", figures.measured && measureS / tjS3 <= 0.10);
  // The same on a picture with sensor noise (sigma 4), where the noise's second look works.
  {
    synth::Field noisy = synth::Card(kW, kH);
    synth::AddNoise(noisy, 4, 5);
    const std::string noisyPath = dir.File("noisy.jpg");
    jpegtest::WriteBytes(noisyPath, synth::ToJpeg(noisy, 85));
    CJpegFile noisyDecoded;
    noisyDecoded.LoadImageToDib(noisyPath);
    auto turboNoisy = [&] {
      const auto jpeg = testsupport::ReadFile(noisyPath);
      std::unique_ptr<unsigned char[]> out(new unsigned char[static_cast<size_t>(pitch) * kH]);
      tjDecompress2(tj, jpeg.data(), jpeg.size(), out.get(), kW, pitch, kH, TJPF_BGR, TJFLAG_BOTTOMUP);
    };
    auto measureNoisy = [&] { figures = MeasurePicture(*noisyDecoded.m_pDib); };
    auto [tjS4, noisyS] = bench::Compare(25, turboNoisy, measureNoisy);
    Row("MeasurePicture, noisy card", "tjDecompress2 BGR", tjS4 * 1e3, noisyS * 1e3, noisyS / tjS4,
        "<= 0.10x", figures.measured && noisyS / tjS4 <= 0.10);
  }
  // ---- Flat-field figures of a 4K flat's luma, against decoding that flat ----
  {
    synth::Field flat = synth::Flat(kW, kH, 140);
    synth::Shade(flat, 0.6);
    synth::InjectDefects(flat, 20, 5, 30, 3);
    synth::AddNoise(flat, 1, 4);
    const std::string flatPath = dir.File("flat.jpg");
    jpegtest::WriteBytes(flatPath, synth::ToJpeg(flat, 85));
    const LumaPlane luma = synth::ToLuma(flat);
    auto turboFlat = [&] {
      const auto jpeg = testsupport::ReadFile(flatPath);
      std::unique_ptr<unsigned char[]> out(new unsigned char[static_cast<size_t>(pitch) * kH]);
      tjDecompress2(tj, jpeg.data(), jpeg.size(), out.get(), kW, pitch, kH, TJPF_BGR, TJFLAG_BOTTOMUP);
    };
    FlatFieldFigures flatFigures;
    auto measureFlat = [&] { flatFigures = MeasureFlatField(luma); };
    auto [tjS5, flatS] = bench::Compare(15, turboFlat, measureFlat);
    Row("MeasureFlatField (4K luma)", "tjDecompress2 BGR", tjS5 * 1e3, flatS * 1e3, flatS / tjS5,
        "<= 0.30x", flatFigures.measured && flatS / tjS5 <= 0.30);
  }
  tjDestroy(tj);

  // ---- NV12 frame to BGR ----
  const int w = kW, h = kH;
  std::vector<uint8_t> outYuv(static_cast<size_t>(w) * h * 3), outOurs(outYuv.size());
  auto yuv = [&] {
    libyuv::NV12ToRGB24(frame.data(), w, frame.data() + w * h, w, outYuv.data(), w * 3, w, h);
  };
  auto ours = [&] { ConvertNv12ToBgr(frame.data(), w, h, outOurs.data()); };
  auto scalar = [&] { ConvertNv12ToBgrRowsScalar(frame.data(), w, h, outOurs.data(), w * 3); };
  // Throughput ratio: libyuv's time over ours (1.0 = as fast as libyuv).
  auto [yuvS, oursS] = bench::Compare(21, yuv, ours);
  Row("ConvertNv12ToBgr (throughput)", "libyuv NV12ToRGB24", yuvS * 1e3, oursS * 1e3,
      yuvS / oursS, ">= 0.50x", yuvS / oursS >= 0.5);
  auto [yuvS2, scalarS] = bench::Compare(5, yuv, scalar);
  Row("scalar path (throughput)", "libyuv NV12ToRGB24", yuvS2 * 1e3, scalarS * 1e3,
      yuvS2 / scalarS, "-", true);
  // The vectorised portable path: what arm64 runs.
  auto portable = [&] { ConvertNv12ToBgrRowsPortable(frame.data(), w, h, outOurs.data(), w * 3); };
  auto [yuvS3, portableS] = bench::Compare(11, yuv, portable);
  Row("portable vectorised path (throughput)", "libyuv NV12ToRGB24", yuvS3 * 1e3,
      portableS * 1e3, yuvS3 / portableS, "-", true);
  return 0;
}
