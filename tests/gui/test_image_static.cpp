#include <QApplication>
#include <QImage>
#include <QtTest>
#include <atomic>
#include <filesystem>
#include <thread>

#include "camsim/CamSimPicture.h"
#include "controls/ImageStatic.h"
#include "imaging/JpegFile.h"
#include "jpeg_test_util.h"

using jpegtest::RecordingSink;
using testsupport::TempFolder;

namespace {

// A picture of one colour, encoded 4:4:4 at the highest quality so it decodes within a
// step or two of the colour.
std::string WriteSolidJpeg(const TempFolder& dir, const std::string& name, int w, int h,
                           QColor colour) {
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = colour.red();
    rgb[i + 1] = colour.green();
    rgb[i + 2] = colour.blue();
  }
  jpegtest::JpegOptions options;
  options.quality = 100;
  options.hSampling = options.vSampling = 1;
  const std::string path = dir.File(name);
  jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(rgb.data(), w, h, 3, options));
  return path;
}

bool Near(QColor a, QColor b, int tolerance = 4) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

// A view whose screen has 8 bits per pixel, so 24-bit pictures take the palette path.
class PaletteScreenView : public CImageStatic {
 public:
  using CImageStatic::CImageStatic;

 protected:
  int ScreenDepth() const override { return 8; }
};

}  // namespace

class TestImageStatic : public QObject {
  Q_OBJECT

 private:
  TempFolder m_dir;

  // The view's client area rendered now (runs paintEvent synchronously).
  static QImage Client(CImageStatic& view) {
    return view.grab(view.contentsRect()).toImage().convertToFormat(QImage::Format_RGB32);
  }
  static QColor Face(const CImageStatic& view) { return view.palette().button().color(); }

  static void PrepareView(CImageStatic& view) {
    view.resize(view.sizeHint());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QCOMPARE(view.contentsRect().size(), QSize(640, 480));
  }

 private slots:
  void placement_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QRect>("expected");
    const QSize ref(640, 480);
    QTest::newRow("640x480 1:1") << QSize(640, 480) << ref << QRect(0, 0, 640, 480);
    QTest::newRow("352x288 centred") << QSize(352, 288) << ref << QRect(144, 96, 352, 288);
    QTest::newRow("161x121 centred") << QSize(161, 121) << ref << QRect(239, 179, 161, 121);
    QTest::newRow("160x120 lower") << QSize(160, 120) << ref << QRect(240, 200, 160, 120);
    QTest::newRow("160x100 centred") << QSize(160, 100) << ref << QRect(240, 190, 160, 100);
    QTest::newRow("320x240") << QSize(320, 240) << ref << QRect(160, 120, 320, 240);
    QTest::newRow("1280x720 stretched") << QSize(1280, 720) << ref << QRect(0, 0, 640, 480);
    QTest::newRow("640x481 stretched") << QSize(640, 481) << ref << QRect(0, 0, 640, 480);
    QTest::newRow("641x10 stretched, other client")
        << QSize(641, 10) << QSize(700, 500) << QRect(0, 0, 700, 500);
    QTest::newRow("reference fixed in a larger client")
        << QSize(352, 288) << QSize(900, 700) << QRect(144, 96, 352, 288);
  }
  void placement() {
    QFETCH(QSize, picture);
    QFETCH(QSize, client);
    QFETCH(QRect, expected);
    QCOMPARE(CImageStatic::ImagePlacement(picture.width(), picture.height(), client), expected);
  }

  void emptyViewShowsOnlyButtonFace() {
    CImageStatic view(nullptr);
    PrepareView(view);
    const QImage shot = Client(view);
    const QRgb face = Face(view).rgb();
    for (int y = 0; y < shot.height(); y += 7)
      for (int x = 0; x < shot.width(); x += 7)
        QCOMPARE(shot.pixel(x, y), face);
    QVERIFY(!view.PaintedSize().isValid());
  }

  void loadCentresAndRecordsSizeAtPaint() {
    CImageStatic view(nullptr);
    PrepareView(view);
    Client(view);
    const QColor green(20, 200, 60);
    QCOMPARE(view.LoadImageFile(WriteSolidJpeg(m_dir, "jpeg.tmp", 352, 288, green)), 1);
    // The size is that of the last picture painted, not the last one loaded.
    QVERIFY(!view.PaintedSize().isValid());
    const QImage shot = Client(view);
    QCOMPARE(view.PaintedSize(), QSize(352, 288));
    QVERIFY(Near(shot.pixelColor(144, 96), green));
    QVERIFY(Near(shot.pixelColor(144 + 351, 96 + 287), green));
    QCOMPARE(shot.pixelColor(143, 96), Face(view));
    QCOMPARE(shot.pixelColor(144, 96 + 288), Face(view));
  }

  void largePictureIsStretchedOverClient() {
    CImageStatic view(nullptr);
    PrepareView(view);
    // Left half red, right half blue: the stretch keeps the halves.
    const int w = 1280, h = 720;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        rgb[(static_cast<size_t>(y) * w + x) * 3 + (x < w / 2 ? 0 : 2)] = 255;
    jpegtest::WriteBytes(m_dir.File("wide.jpg"), jpegtest::EncodeJpeg(rgb.data(), w, h, 3));
    QCOMPARE(view.LoadImageFile(m_dir.File("wide.jpg")), 1);
    const QImage shot = Client(view);
    QVERIFY(Near(shot.pixelColor(0, 0), Qt::red, 12));
    QVERIFY(Near(shot.pixelColor(300, 479), Qt::red, 12));
    QVERIFY(Near(shot.pixelColor(340, 0), Qt::blue, 12));
    QVERIFY(Near(shot.pixelColor(639, 479), Qt::blue, 12));
    QCOMPARE(view.PaintedSize().width(), 1280);
  }

  void refusedLoadsKeepThePicture() {
    RecordingSink sink;
    CImageStatic view(&sink);
    PrepareView(view);
    const QColor orange(240, 140, 20);
    const std::string good = WriteSolidJpeg(m_dir, "keep.jpg", 100, 60, orange);
    QCOMPARE(view.LoadImageFile(good), 1);
    const auto before = view.CurrentDib();

    // Another extension: refused without decoding, so no box either.
    const std::string bmp = m_dir.File("picture.bmp");
    std::filesystem::copy_file(WriteSolidJpeg(m_dir, "other.jpg", 30, 30, Qt::blue), bmp,
                               std::filesystem::copy_options::overwrite_existing);
    QCOMPARE(view.LoadImageFile(bmp), 0);
    QVERIFY(sink.Boxes().empty());

    // Not a JPEG at all: the library's fatal error in a box.
    jpegtest::WriteBytes(m_dir.File("jpeg.tmp"), {'G', 'I', 'F', '8', '9', 'a', 0, 0});
    QCOMPARE(view.ShowImageFile(m_dir.File("jpeg.tmp")), 0);
    const auto boxes = sink.Boxes();
    QCOMPARE(boxes.size(), size_t{1});
    QCOMPARE(boxes[0].caption, std::string("JPEG Fatal Error"));
    QCOMPARE(boxes[0].text, std::string("Not a JPEG file: starts with 0x47 0x49"));

    // Raw frame with no frame size yet.
    jpegtest::WriteBytes(m_dir.File("yuv.tmp"), jpegtest::MakeNv12Frame(16, 8));
    QCOMPARE(view.LoadImageFile(m_dir.File("yuv.tmp")), 0);

    QCOMPARE(view.CurrentDib(), before);
    QVERIFY(Near(Client(view).pixelColor(320, 240), orange));
  }

  void cameraPatternLooksTheSameAsJpegAndAsNv12() {
    // The virtual camera's test pattern (colour bars, ramps, zone plate), delivered both
    // ways, must reproduce the pattern's own pixels on screen: a swapped U/V or red/blue,
    // an upside-down frame or a shifted chroma row shows as a large mean difference.
    const camsim::PictureWindow window;  // 640 x 480
    jpegtest::WriteBytes(m_dir.File("jpeg.tmp"), camsim::EncodePatternJpeg(window, 3, 95));
    jpegtest::WriteBytes(m_dir.File("yuv.tmp"), camsim::RenderPatternNv12(window, 3));
    std::vector<uint8_t> row(window.width * 3);
    for (const char* name : {"jpeg.tmp", "yuv.tmp"}) {
      CImageStatic view(nullptr);
      PrepareView(view);
      view.m_nFrameWidth = window.width;
      view.m_nFrameHeight = window.height;
      QCOMPARE(view.LoadImageFile(m_dir.File(name)), 1);
      const QImage shot = Client(view);
      double total = 0;
      for (int y = 0; y < window.height; ++y) {
        camsim::RenderPatternRow(window, 3, y, row.data());
        for (int x = 0; x < window.width; ++x) {
          const QRgb p = shot.pixel(x, y);
          total += std::abs(qRed(p) - row[3 * x]) + std::abs(qGreen(p) - row[3 * x + 1]) +
                   std::abs(qBlue(p) - row[3 * x + 2]);
        }
      }
      const double mean = total / (3.0 * window.width * window.height);
      qInfo("%s: mean difference %.2f", name, mean);
      QVERIFY2(mean < 6.0, name);
    }
  }

  void showFromWorkerThreadQueuesRepaint() {
    CImageStatic view(nullptr);
    PrepareView(view);
    QCoreApplication::processEvents();
    const std::string path = WriteSolidJpeg(m_dir, "worker.jpg", 320, 240, Qt::magenta);
    int result = -1;
    std::thread worker([&] { result = view.ShowImageFile(path); });
    worker.join();
    QCOMPARE(result, 1);
    QTRY_COMPARE_WITH_TIMEOUT(view.PaintedSize(), QSize(320, 240), 10000);
  }

  void paintsNeverSeeAHalfReplacedPicture() {
    // The worker alternates two pictures of different size and colour while the GUI thread
    // paints; every paint must show a size and colour that belong together.
    CImageStatic view(nullptr);
    PrepareView(view);
    const std::string red = WriteSolidJpeg(m_dir, "a.jpg", 64, 48, Qt::red);
    const std::string blue = WriteSolidJpeg(m_dir, "b.jpg", 96, 72, Qt::blue);
    QCOMPARE(view.LoadImageFile(red), 1);
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int i = 0; i < 40; ++i) view.ShowImageFile(i % 2 ? red : blue);
      done = true;
    });
    int paints = 0;
    while (!done || paints < 5) {
      const QImage shot = Client(view);
      ++paints;
      const int w = view.PaintedSize().width();
      const QColor centre = shot.pixelColor(320, 240);
      if (w == 64) {
        QVERIFY(Near(centre, Qt::red));
        QCOMPARE(shot.pixelColor(320 - 40, 240), Face(view));  // outside the 64-wide picture
      } else {
        QCOMPARE(w, 96);
        QVERIFY(Near(centre, Qt::blue));
        QVERIFY(Near(shot.pixelColor(320 - 40, 240), Qt::blue));
      }
    }
    worker.join();
  }

  void paletteScreenUsesFixedPalette() {
    PaletteScreenView view(nullptr);
    PrepareView(view);
    jpegtest::WriteBytes(
        m_dir.File("photo.jpg"),
        jpegtest::EncodeJpeg(jpegtest::MakePhotoLikeRgb(200, 150).data(), 200, 150, 3));
    QCOMPARE(view.LoadImageFile(m_dir.File("photo.jpg")), 1);
    const QImage shot = Client(view);
    const QSet<int> levels{0, 36, 73, 109, 146, 182, 219, 255};
    const QSet<int> blues{0, 85, 170, 255};
    QSet<QRgb> seen;
    for (int y = 165; y < 165 + 150; y += 3)
      for (int x = 220; x < 220 + 200; x += 3) {
        const QColor c = shot.pixelColor(x, y);
        QVERIFY2(levels.contains(c.red()) && levels.contains(c.green()) && blues.contains(c.blue()),
                 qPrintable(c.name()));
        seen.insert(c.rgb());
      }
    QVERIFY(seen.size() > 8);  // a photograph, not a flat card
  }

  void reductionAveragesTheCoveredPixels() {
    // 5 x 3 picture to 2 x 2: columns split [0,2) [2,5), rows [0,1) [1,3), counted from the
    // top although rows are stored bottom-up. Pixel value: blue = 10 * column,
    // green = 50 * row (top row 0), red = 7.
    const int w = 5, h = 3, stride = 16;
    auto block = std::make_unique<DibBlock>(40 + stride * h, 0);
    DibBlock& b = *block;
    b[0] = 40; b[4] = w; b[8] = h; b[12] = 1; b[14] = 24;
    for (int row = 0; row < h; ++row)
      for (int col = 0; col < w; ++col) {
        uint8_t* p = b.data() + 40 + (h - 1 - row) * stride + 3 * col;
        p[0] = 10 * col;
        p[1] = 50 * row;
        p[2] = 7;
      }
    CDib dib;
    QCOMPARE(dib.Attach(std::move(block)), 1);
    const QImage small = ReduceDib24(dib, QSize(2, 2));
    QCOMPARE(small.size(), QSize(2, 2));
    QCOMPARE(small.pixel(0, 0), qRgb(7, 0, 5));     // blue (0 + 10) / 2 rounds to 5
    QCOMPARE(small.pixel(1, 0), qRgb(7, 0, 30));    // blue (20 + 30 + 40) / 3
    QCOMPARE(small.pixel(0, 1), qRgb(7, 75, 5));    // green (50 + 100) / 2
    QCOMPARE(small.pixel(1, 1), qRgb(7, 75, 30));
    QVERIFY(ReduceDib24(dib, QSize(6, 2)).isNull());  // never enlarges
    QCOMPARE(ReduceDib24(dib, QSize(5, 3)).pixel(4, 0), qRgb(7, 0, 40));
  }

  void bitmapsToImages() {
    // 8-bit, colours-used 0: all 256 entries reach the image; rows flip to top-down.
    auto b8 = std::make_unique<DibBlock>(40 + 1024 + 4 * 2, 0);
    DibBlock& b = *b8;
    b[0] = 40; b[4] = 3; b[8] = 2; b[12] = 1; b[14] = 8;
    for (int i = 0; i < 256; ++i) {
      b[40 + 4 * i] = 255 - i;  // blue
      b[40 + 4 * i + 2] = i;    // red
    }
    const size_t bits = 40 + 1024;
    b[bits + 0] = 10;       // bottom row
    b[bits + 4 + 2] = 250;  // top row, last pixel
    CDib dib8;
    QCOMPARE(dib8.Attach(std::move(b8)), 1);
    const QImage i8 = DibToQImage(dib8);
    QCOMPARE(i8.colorCount(), 256);
    QCOMPARE(i8.color(200), qRgb(200, 0, 55));
    QCOMPARE(i8.pixelIndex(0, 1), 10);
    QCOMPARE(i8.pixelIndex(2, 0), 250);

    // 1-bit core header with a 2-entry table: most significant bit is the leftmost pixel.
    auto b1 = std::make_unique<DibBlock>(12 + 6 + 4, 0);
    DibBlock& c = *b1;
    c[0] = 12; c[4] = 3; c[6] = 1; c[8] = 1; c[10] = 1;
    c[12 + 3] = c[12 + 4] = c[12 + 5] = 255;  // entry 1 white
    c[18] = 0b10100000;
    CDib dib1;
    QCOMPARE(dib1.Attach(std::move(b1)), 1);
    const QImage i1 = DibToQImage(dib1);
    QCOMPARE(i1.pixel(0, 0), qRgb(255, 255, 255));
    QCOMPARE(i1.pixel(1, 0), qRgb(0, 0, 0));
    QCOMPARE(i1.pixel(2, 0), qRgb(255, 255, 255));

    // A malformed block yields no image (the view paints only the background).
    CDib bad;
    QCOMPARE(bad.Attach(std::make_unique<DibBlock>(DibBlock{40, 0, 0, 0, 1})), 0);
    QVERIFY(DibToQImage(bad).isNull());
  }
};

QTEST_MAIN(TestImageStatic)
#include "test_image_static.moc"
