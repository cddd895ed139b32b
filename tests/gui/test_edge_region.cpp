// The edge region dragged over the picture: picture pixels whatever the picture's scale,
// drawn over it, cleared by a click or the context menu, and handed to the window.
#include <QAction>
#include <QtTest>

#include "controls/ImageStatic.h"
#include "jpeg_test_util.h"
#include "ui/main_window_fixture.h"

namespace {

std::string WriteGrey(const testsupport::TempFolder& dir, int w, int h) {
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3, 40);
  const std::string path = dir.File("grey.jpg");
  jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(rgb.data(), w, h, 3));
  return path;
}

void Drag(QWidget* view, QPoint from, QPoint to) {
  QTest::mousePress(view, Qt::LeftButton, {}, from);
  QTest::mouseMove(view, (from + to) / 2);
  QTest::mouseMove(view, to);
  QTest::mouseRelease(view, Qt::LeftButton, {}, to);
}

}  // namespace

class TestEdgeRegion : public QObject, public CMainWindowFixture {
  Q_OBJECT

 private slots:
  void dragGivesPictureRectangleDrawnAndCleared() {
    testsupport::TempFolder dir;
    CImageStatic view(nullptr);
    view.resize(view.sizeHint());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QPoint origin = view.contentsRect().topLeft();
    // Nothing shown: a drag selects nothing.
    Drag(&view, origin + QPoint(10, 10), origin + QPoint(100, 100));
    QVERIFY(!view.EdgeRegion());
    // A 1280 x 720 picture stretched over the 640 x 480 view: x doubles, y is 1.5 times.
    QCOMPARE(view.LoadImageFile(WriteGrey(dir, 1280, 720)), 1);
    QSignalSpy changed(&view, &CImageStatic::EdgeRegionChanged);
    Drag(&view, origin + QPoint(300, 200), origin + QPoint(100, 100));  // dragged up and left
    QVERIFY(view.EdgeRegion());
    const EdgeRect r = *view.EdgeRegion();
    QCOMPARE(QRect(r.x, r.y, r.width, r.height), QRect(200, 150, 402, 152));
    QCOMPARE(changed.count(), 1);
    QVERIFY(view.ClearEdgeRegionAction()->isEnabled());
    // The region is drawn over the (dark) picture; inside it the picture shows.
    const QImage shot = view.grab(view.contentsRect()).toImage();
    QCOMPARE(QColor(shot.pixel(100, 150)).red() > 120 || QColor(shot.pixel(100, 150)).red() < 5, true);
    QVERIFY(std::abs(QColor(shot.pixel(200, 150)).red() - 40) <= 8);
    // A drag past the picture's side is cut to the picture.
    Drag(&view, origin + QPoint(600, 400), origin + QPoint(700, 520));
    QCOMPARE(view.EdgeRegion()->x + view.EdgeRegion()->width, 1280);
    QCOMPARE(view.EdgeRegion()->y + view.EdgeRegion()->height, 720);
    // A click clears it; so does the context menu's entry.
    QTest::mouseClick(&view, Qt::LeftButton, {}, origin + QPoint(50, 50));
    QVERIFY(!view.EdgeRegion());
    QVERIFY(!view.ClearEdgeRegionAction()->isEnabled());
    Drag(&view, origin + QPoint(10, 10), origin + QPoint(60, 90));
    QVERIFY(view.EdgeRegion());
    QVERIFY(view.actions().contains(view.ClearEdgeRegionAction()));
    view.ClearEdgeRegionAction()->trigger();
    QVERIFY(!view.EdgeRegion());
  }

  void windowKeepsTheDraggedRegion() {
    SetUpWindow();
    auto* view = W<CImageStatic>(1000);
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    QCOMPARE(view->LoadImageFile(WriteGrey(*m_dir, 320, 240)), 1);  // drawn 1:1 at (160, 120)
    const QPoint origin = view->contentsRect().topLeft();
    Drag(view, origin + QPoint(170, 130), origin + QPoint(250, 230));
    QVERIFY(m_dlg->EdgeRegion());
    const EdgeRect r = *m_dlg->EdgeRegion();
    QCOMPARE(QRect(r.x, r.y, r.width, r.height), QRect(10, 10, 81, 101));
    QTest::mouseClick(view, Qt::LeftButton, {}, origin + QPoint(200, 200));
    QVERIFY(!m_dlg->EdgeRegion());
    TearDownWindow();
  }
};

QTEST_MAIN(TestEdgeRegion)
#include "test_edge_region.moc"
