#pragma once
// PostToGui: runs a call later on the thread of `context` (the GUI thread for every widget),
// queued, in order, dropped with `context`. The one way a worker hands work to the window.
//
// Under ThreadSanitizer the call also tells the tool what Qt's queue guarantees: everything
// the poster wrote before posting is seen by the call. Qt is not instrumented, so its own
// lock around the queue is invisible and every captured value would look like a race.
#include <QMetaObject>
#include <QObject>
#include <type_traits>
#include <utility>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BREVANT_TSAN_ANNOTATE 1
#endif
#endif
#if !defined(BREVANT_TSAN_ANNOTATE) && defined(__SANITIZE_THREAD__)
#define BREVANT_TSAN_ANNOTATE 1
#endif
#ifdef BREVANT_TSAN_ANNOTATE
#include <sanitizer/tsan_interface.h>
#endif

namespace guipost {

// The posted call. Its final home is inside Qt's slot object: the release at the end of
// each construction (after every byte of it is written) pairs with the acquire where it
// runs or is dropped on the other thread. The poster holds a reference of its own until
// invokeMethod returns, so the last one out, which destroys the call, may be the poster
// after the call ran: the run releases again for that destruction.
template <typename F>
class HandOver {
 public:
  explicit HandOver(F call) : m_call(std::move(call)) { Release(); }
  HandOver(HandOver&& other) noexcept(std::is_nothrow_move_constructible_v<F>)
      : m_call(std::move(other.m_call)) {
    Release();
  }
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;
  HandOver& operator=(HandOver&&) = delete;
  ~HandOver() { Acquire(); }
  void operator()() {
    Acquire();
    m_call();
    Release();
  }

 private:
  void Release() {
#ifdef BREVANT_TSAN_ANNOTATE
    __tsan_release(this);
#endif
  }
  void Acquire() {
#ifdef BREVANT_TSAN_ANNOTATE
    __tsan_acquire(this);
#endif
  }
  F m_call;
};

}  // namespace guipost

template <typename F>
void PostToGui(QObject* context, F&& call) {
  QMetaObject::invokeMethod(context, guipost::HandOver<std::decay_t<F>>(std::forward<F>(call)),
                            Qt::QueuedConnection);
}
