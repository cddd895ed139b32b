#include "protocol/Event.h"

#include <algorithm>

// One mutex for all events keeps WaitAny simple and free of lock-order questions; events
// are set a few times per picture, so contention does not matter.
std::mutex& Event::GlobalMutex() {
  static std::mutex m;
  return m;
}

void Event::Set() {
  std::lock_guard<std::mutex> lock(GlobalMutex());
  m_bSet = true;
  for (auto* cv : m_waiters) cv->notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(GlobalMutex());
  m_bSet = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(GlobalMutex());
  return m_bSet;
}

bool Event::Wait(std::chrono::milliseconds timeout) {
  return WaitAny({this}, timeout) == 0;
}

int Event::WaitAny(std::initializer_list<Event*> events, std::chrono::milliseconds timeout) {
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(GlobalMutex());
  auto firstSet = [&]() -> int {
    int i = 0;
    for (Event* e : events) {
      if (e->m_bSet) return i;
      ++i;
    }
    return kTimeout;
  };
  int found = firstSet();
  if (found != kTimeout) return found;
  for (Event* e : events) e->m_waiters.push_back(&cv);
  if (timeout.count() < 0) {
    cv.wait(lock, [&] { return firstSet() != kTimeout; });
  } else {
    cv.wait_for(lock, timeout, [&] { return firstSet() != kTimeout; });
  }
  found = firstSet();
  for (Event* e : events) {
    auto& w = e->m_waiters;
    w.erase(std::remove(w.begin(), w.end(), &cv), w.end());
  }
  return found;
}
