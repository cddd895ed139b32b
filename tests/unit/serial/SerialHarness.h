#pragma once
// Pseudo-terminal pairs and recording owner/sink for the serial channel tests.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/SerialChannel.h"

// Generous: only a hang should ever reach it.
constexpr std::chrono::seconds kDeadline{30};

// The test holds the master side; the channel opens the slave by its path.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  Pty() {
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      path = name;
      fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
  }
  ~Pty() {
    CloseMaster();
    if (slave >= 0) close(slave);
  }
  void CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  bool Write(const std::vector<uint8_t>& bytes) const {
    size_t done = 0;
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (done < bytes.size() && std::chrono::steady_clock::now() < until) {
      ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
    return done == bytes.size();
  }
  // Reads until count bytes came or the deadline passed.
  std::vector<uint8_t> Read(size_t count) const {
    std::vector<uint8_t> got;
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    uint8_t buffer[4096];
    while (got.size() < count && std::chrono::steady_clock::now() < until) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = read(master, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // True when nothing more is readable right now (after the channel has been closed).
  bool Quiet() const {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }
};

class Recorder : public SerialOwner, public ReceiveSink {
 public:
  void TraceSent(const uint8_t* frame, size_t length) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    traced.emplace_back(frame, frame + length);
  }
  void LogError(const std::string& text) override { Add(errors, text); }
  void LogNotice(const std::string& text) override { Add(notices, text); }
  void ReportError(const std::string& text) override { Add(boxes, text); }
  void LineFailed(const std::string& reason) override {
    Add(failures, reason);
    if (onLineFailed) onLineFailed();
  }
  void AppendReceived(const uint8_t* bytes, unsigned count) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    chunks.emplace_back(bytes, bytes + count);
    received.insert(received.end(), bytes, bytes + count);
    m_changed.notify_all();
  }

  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> guard(m_mutex);
    return m_changed.wait_for(guard, kDeadline, done);
  }
  template <typename T>
  T Get(const T& member) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return member;
  }

  // Read through Get() or WaitFor() while the monitor may still run.
  std::vector<std::string> errors, notices, boxes, failures;
  std::vector<std::vector<uint8_t>> traced, chunks;  // frames traced, chunks received
  std::vector<uint8_t> received;
  std::function<void()> onLineFailed;

 private:
  void Add(std::vector<std::string>& list, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_mutex);
    list.push_back(text);
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
};
