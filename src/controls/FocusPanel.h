#pragma once
// The focus assist beside the picture: the latest picture's figures as text (a screen
// reader reads them like any label), the sharpness of the last pictures of a series with
// the best one marked, and the luma histogram. Turning a lens until the plot peaks beats
// guessing from the picture at one frame a second.
#include <QWidget>
#include <deque>

#include "imaging/PictureFigures.h"

class QChartView;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

class CFocusPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHistoryLength = 50;  // pictures the sharpness plot shows
  // Widths the window gives the panel: the preferred where the screen has room, never
  // less than the minimum, at which the plots still read.
  static constexpr int kPreferredWidth = 280;
  static constexpr int kMinimumWidth = 220;

  explicit CFocusPanel(QWidget* parent = nullptr);

  // A new picture's figures. `run`: the Continues Capture run it belongs to, 0 for a
  // picture of no run (Single Capture, a stored picture). A run's pictures make the series
  // the plot shows and a new run starts a new one; a picture of no run is shown but leaves
  // the series alone, so the sharpest of a run is always a picture of that run.
  void AddPicture(const PictureFigures& figures, int run);
  // The "Clear" button: the plot starts again with the next picture of the run.
  void ClearSeries();
  int SeriesLength() const { return m_nPictures; }
  QString FiguresText() const;
  // The best picture so far of the plot: its number in the series (1 = first), 0 for none.
  int BestPicture() const { return m_bPlotMtf ? m_nBestMtf : m_nBest; }
  // The plot shows MTF50 (the picture has a slanted edge) rather than sharpness.
  bool PlotsMtf() const { return m_bPlotMtf; }

 private:
  void UpdatePlot();
  void UpdateHistogram(const PictureFigures& figures);

  QLabel* m_pFigures;
  QLineSeries* m_pSharpness;
  QScatterSeries* m_pBestMark;
  QValueAxis* m_pPictureAxis;
  QValueAxis* m_pSharpnessAxis;
  QLineSeries* m_pHistogram;
  QValueAxis* m_pCountAxis;
  std::deque<double> m_history;  // sharpness of the last pictures, oldest first
  int m_nRun = 0;                // the run the series belongs to
  int m_nPictures = 0;           // pictures in the series so far
  int m_nBest = 0;
  double m_best = -1;
  // MTF50 of the same pictures (NaN where no edge was measured), and its best.
  std::deque<double> m_mtfHistory;
  int m_nBestMtf = 0;
  double m_bestMtf = -1;
  bool m_bPlotMtf = false;  // the latest picture had an edge: MTF50 is plotted
};
