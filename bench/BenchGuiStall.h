#pragma once
// The stall benches' one measure: how long the GUI thread went without handling a 5 ms tick.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>

// Runs an event loop until done() or the limit, and reports the longest timer gap. The loop
// sleeps between events as the window's own does: a loop that polled would keep the GUI
// thread on the CPU, and with other programs busy the scheduler then holds back a thread
// that has had more than its share, which a real window never asks for.
template <typename Done>
double LongestGapMs(Done done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  double worst = 0;
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    worst = std::max(worst, (now - last) / 1e6);
    last = now;
    if (done() || clock.elapsed() >= limitMs) loop.quit();
  });
  tick.start(5);
  if (!done()) loop.exec();
  // The last event before done() may have been the long one.
  return std::max(worst, (clock.nsecsElapsed() - last) / 1e6);
}
