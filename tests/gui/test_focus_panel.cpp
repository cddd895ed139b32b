// Focus Assist's plot: MTF50 while the pictures carry a measured slanted edge, the
// noise-corrected sharpness when they do not, the best picture marked by what is plotted.
#include <QApplication>
#include <QtTest>
#include <cmath>

#include "controls/FocusPanel.h"

namespace {

PictureFigures Figures(double sharpness, double mtf50) {
  PictureFigures f;
  f.measured = true;
  f.sharpness = sharpness;
  if (mtf50 >= 0) {
    f.mtf = MtfFigures{};
    f.mtf->measured = true;
    f.mtf->minimum = mtf50;
    f.mtf->edges.push_back(EdgeFigure{"centre", true, "", mtf50, 5, 0.6, {}});
  } else if (mtf50 < -1) {
    f.mtf = MtfFigures{};
    f.mtf->failure = "no edge found";
  }
  return f;
}

}  // namespace

class FocusPanelTest : public QObject {
  Q_OBJECT

 private slots:
  void plotsMtfWhenAnEdgeIsFoundAndSharpnessOtherwise() {
    CFocusPanel panel;
    // Sharpness and MTF50 disagree on the best picture: the plotted figure decides.
    panel.AddPicture(Figures(40, 0.20), 1);
    panel.AddPicture(Figures(60, 0.31), 1);
    panel.AddPicture(Figures(70, 0.25), 1);
    QVERIFY(panel.PlotsMtf());
    QCOMPARE(panel.BestPicture(), 2);
    QVERIFY(panel.FiguresText().contains("best MTF50 so far is picture 2 (0.310"));
    QVERIFY(panel.FiguresText().contains("mtf50 0.250"));

    // The edge lost (or never asked for): back to sharpness, whose best is picture 4.
    panel.AddPicture(Figures(80, -2), 1);
    QVERIFY(!panel.PlotsMtf());
    QCOMPARE(panel.BestPicture(), 4);
    QVERIFY(panel.FiguresText().contains("mtf50 not measured (no edge found)"));
    // The next run is a series of its own.
    panel.AddPicture(Figures(10, -1), 2);
    QVERIFY(!panel.PlotsMtf());
    QCOMPARE(panel.BestPicture(), 1);
  }
};

QTEST_MAIN(FocusPanelTest)
#include "test_focus_panel.moc"
