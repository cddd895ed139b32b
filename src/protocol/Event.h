#pragma once
// A manual-reset event and a wait on several of them, lowest index first. Small on
// purpose: every event in a wait shares the waiter's condition variable through a list of
// registered waiters, so Set() wakes exactly the threads that wait on it.
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <vector>

class Event {
 public:
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until set or the timeout passes; returns whether it is set.
  bool Wait(std::chrono::milliseconds timeout);

  static constexpr int kTimeout = -1;
  // Index of the first set event in the list (priority by position), waiting without
  // limit when timeout is negative; kTimeout when the time ran out.
  static int WaitAny(std::initializer_list<Event*> events,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

 private:
  static std::mutex& GlobalMutex();
  bool m_bSet = false;
  std::vector<std::condition_variable*> m_waiters;
};
