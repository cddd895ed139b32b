#include "serial/BoundedClose.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Closing {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  int result = 0;
};

// Helpers whose close outlived its bound; each is joined once it has finished.
class CLingeringCloses {
 public:
  ~CLingeringCloses() {
    // At exit the kernel would wait for these closes anyway.
    for (auto& entry : m_threads) entry.second.join();
  }
  void Keep(std::shared_ptr<Closing> state, std::thread thread) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_threads.emplace_back(std::move(state), std::move(thread));
  }
  void JoinFinished() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_threads.begin(); it != m_threads.end();) {
      bool finished = false;
      {
        std::lock_guard<std::mutex> g(it->first->lock);
        finished = it->first->finished;
      }
      if (finished) {
        it->second.join();
        it = m_threads.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  std::mutex m_lock;
  std::list<std::pair<std::shared_ptr<Closing>, std::thread>> m_threads;
};

CLingeringCloses& Lingering() {
  static CLingeringCloses lingering;
  return lingering;
}

}  // namespace

int CloseWithin(int fd, std::chrono::milliseconds bound) {
  Lingering().JoinFinished();
  auto state = std::make_shared<Closing>();
  std::thread helper;
  try {
    helper = std::thread([state, fd] {
      const int rc = ::close(fd);
      const int err = rc == 0 ? 0 : errno;
      std::lock_guard<std::mutex> guard(state->lock);
      state->result = err;
      state->finished = true;
      state->done.notify_all();
    });
  } catch (const std::system_error&) {
    return ::close(fd) == 0 ? 0 : errno;  // no thread to spare: close here
  }
  std::unique_lock<std::mutex> guard(state->lock);
  if (state->done.wait_for(guard, bound, [&] { return state->finished; })) {
    const int result = state->result;
    guard.unlock();
    helper.join();
    return result;
  }
  guard.unlock();
  Lingering().Keep(std::move(state), std::move(helper));
  return -1;
}
