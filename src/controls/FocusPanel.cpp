#include "controls/FocusPanel.h"

#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "core/PictureChecks.h"

namespace {

QChartView* MakeChartView(QChart* chart, const QString& name, QWidget* parent) {
  chart->legend()->hide();
  chart->setMargins(QMargins(2, 2, 2, 2));
  chart->setBackgroundRoundness(0);
  auto* view = new QChartView(chart, parent);
  view->setRenderHint(QPainter::Antialiasing);
  view->setObjectName(name);
  view->setAccessibleName(name == "focusSharpnessPlot" ? "Sharpness of the last pictures"
                                                       : "Luma histogram");
  view->setMinimumSize(CFocusPanel::kMinimumWidth, 170);
  return view;
}

QValueAxis* Axis(QChart* chart, Qt::Alignment side, const QString& title, double max) {
  auto* axis = new QValueAxis(chart);
  axis->setTitleText(title);
  axis->setRange(0, max);
  axis->setLabelFormat("%d");
  chart->addAxis(axis, side);
  return axis;
}

}  // namespace

CFocusPanel::CFocusPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("focusPanel");
  m_pFigures = new QLabel("No picture yet.", this);
  m_pFigures->setObjectName("focusFigures");
  m_pFigures->setWordWrap(true);
  m_pFigures->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

  auto* plot = new QChart;
  m_pSharpness = new QLineSeries(plot);
  m_pBestMark = new QScatterSeries(plot);
  m_pBestMark->setMarkerSize(10);
  plot->addSeries(m_pSharpness);
  plot->addSeries(m_pBestMark);
  m_pPictureAxis = Axis(plot, Qt::AlignBottom, "picture", kHistoryLength);
  m_pPictureAxis->setTickCount(6);
  m_pSharpnessAxis = Axis(plot, Qt::AlignLeft, "sharpness", 100);
  for (QAbstractSeries* series : {static_cast<QAbstractSeries*>(m_pSharpness),
                                  static_cast<QAbstractSeries*>(m_pBestMark)}) {
    series->attachAxis(m_pPictureAxis);
    series->attachAxis(m_pSharpnessAxis);
  }

  auto* histogram = new QChart;
  m_pHistogram = new QLineSeries(histogram);
  histogram->addSeries(m_pHistogram);
  QValueAxis* levels = Axis(histogram, Qt::AlignBottom, "luma", 255);
  m_pCountAxis = Axis(histogram, Qt::AlignLeft, "", 1);
  m_pCountAxis->setLabelsVisible(false);
  m_pHistogram->attachAxis(levels);
  m_pHistogram->attachAxis(m_pCountAxis);

  auto* clear = new QPushButton("Clear", this);
  clear->setObjectName("focusClear");
  clear->setToolTip("Start the focus series again");
  clear->setAutoDefault(false);
  connect(clear, &QPushButton::clicked, this, &CFocusPanel::ClearSeries);
  auto* clearRow = new QHBoxLayout;
  clearRow->addStretch(1);
  clearRow->addWidget(clear);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_pFigures);
  layout->addWidget(MakeChartView(plot, "focusSharpnessPlot", this), 1);
  layout->addLayout(clearRow);
  layout->addWidget(MakeChartView(histogram, "focusHistogram", this), 1);
}

void CFocusPanel::ClearSeries() {
  m_history.clear();
  m_nPictures = 0;
  m_nBest = 0;
  m_best = -1;
  m_mtfHistory.clear();
  m_nBestMtf = 0;
  m_bestMtf = -1;
  UpdatePlot();
}

void CFocusPanel::AddPicture(const PictureFigures& figures, int run) {
  QString text = QString::fromStdString(::FiguresText(figures));
  if (run == 0) {
    m_pFigures->setText(text + "\nNot part of the focus series: only Continues Capture adds to it.");
    UpdateHistogram(figures);
    return;
  }
  if (run != m_nRun) ClearSeries();
  m_nRun = run;
  ++m_nPictures;
  m_history.push_back(figures.sharpness);
  if (m_history.size() > kHistoryLength) m_history.pop_front();
  if (figures.sharpness > m_best) {
    m_best = figures.sharpness;
    m_nBest = m_nPictures;
  }
  // A lens focused on a chart's slanted edge is judged by its MTF50; without an edge the
  // noise-corrected sharpness is what there is.
  const bool edge = figures.mtf && figures.mtf->measured;
  const double mtf = edge ? figures.mtf->minimum : std::nan("");
  m_mtfHistory.push_back(mtf);
  if (m_mtfHistory.size() > kHistoryLength) m_mtfHistory.pop_front();
  if (edge && mtf > m_bestMtf) {
    m_bestMtf = mtf;
    m_nBestMtf = m_nPictures;
  }
  m_bPlotMtf = edge;
  UpdatePlot();
  if (m_nPictures > 1 && m_bPlotMtf)
    text += QString("\nPicture %1; the best MTF50 so far is picture %2 (%3 cycles per pixel).")
                .arg(m_nPictures)
                .arg(m_nBestMtf)
                .arg(m_bestMtf, 0, 'f', 3);
  else if (m_nPictures > 1)
    text += QString("\nPicture %1; the sharpest so far is picture %2 (%3).")
                .arg(m_nPictures)
                .arg(m_nBest)
                .arg(m_best, 0, 'f', 1);
  m_pFigures->setText(text);
  UpdateHistogram(figures);
}

QString CFocusPanel::FiguresText() const { return m_pFigures->text(); }

void CFocusPanel::UpdatePlot() {
  // The x axis counts pictures of the series; the plot shows the last kHistoryLength.
  const int first = m_nPictures - static_cast<int>(m_history.size()) + 1;
  const std::deque<double>& plotted = m_bPlotMtf ? m_mtfHistory : m_history;
  QList<QPointF> points;
  double top = m_bPlotMtf ? 0.1 : 10;
  for (size_t i = 0; i < plotted.size(); ++i) {
    if (std::isnan(plotted[i])) continue;  // no edge in that picture
    points.append(QPointF(first + static_cast<int>(i), plotted[i]));
    top = std::max(top, plotted[i]);
  }
  m_pSharpness->replace(points);
  m_pBestMark->clear();
  const int best = BestPicture();
  if (best >= first) m_pBestMark->append(best, m_bPlotMtf ? m_bestMtf : m_best);
  m_pSharpnessAxis->setTitleText(m_bPlotMtf ? "MTF50 (cycles/pixel)" : "sharpness");
  m_pSharpnessAxis->setLabelFormat(m_bPlotMtf ? "%.2f" : "%d");
  m_pPictureAxis->setRange(std::max(0, first - 1), std::max(first - 1 + kHistoryLength, m_nPictures));
  m_pSharpnessAxis->setRange(0, top * 1.1);
  m_pSharpnessAxis->applyNiceNumbers();
}

void CFocusPanel::UpdateHistogram(const PictureFigures& figures) {
  // 64 bins of four levels: enough to see clipping and exposure, light to draw.
  QList<QPointF> points;
  double top = 1;
  for (int bin = 0; bin < 64; ++bin) {
    uint32_t count = 0;
    for (int level = bin * 4; level < bin * 4 + 4; ++level) count += figures.histogram[level];
    points.append(QPointF(bin * 4 + 1.5, count));
    top = std::max(top, static_cast<double>(count));
  }
  m_pHistogram->replace(points);
  m_pCountAxis->setRange(0, top * 1.05);
}
