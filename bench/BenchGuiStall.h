#pragma once
// The stall benches' one measure: how long the GUI thread went without handling a 5 ms tick.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>

// Runs the event loop until done() or the limit, and reports the longest timer gap.
template <typename Done>
double LongestGapMs(Done done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  double worst = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    worst = std::max(worst, (now - last) / 1e6);
    last = now;
  });
  tick.start(5);
  while (!done() && clock.elapsed() < limitMs)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  // The last event before done() may have been the long one.
  return std::max(worst, (clock.nsecsElapsed() - last) / 1e6);
}
