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

  explicit CFocusPanel(QWidget* parent = nullptr);

  // A new picture's figures. `series`: it continues a continuous capture, so the plot goes
  // on; otherwise the plot starts again from this picture.
  void AddPicture(const PictureFigures& figures, bool series);
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
  int m_nPictures = 0;           // pictures in the series so far
  int m_nBest = 0;
  double m_best = -1;
  // MTF50 of the same pictures (NaN where no edge was measured), and its best.
  std::deque<double> m_mtfHistory;
  int m_nBestMtf = 0;
  double m_bestMtf = -1;
  bool m_bPlotMtf = false;  // the latest picture had an edge: MTF50 is plotted
};
