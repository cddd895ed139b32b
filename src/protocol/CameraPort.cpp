// Opening the serial line: the only file that touches CSerialChannel, so the engine
// builds and is tested without a port.
#include <algorithm>

#include "protocol/ProtocolImpl.h"
#include "serial/SerialChannel.h"

namespace {

// After an open the line counts as quiet once no byte came for this long (as after Stop);
// a camera that goes on longer than the limit is not waited out.
constexpr unsigned kOpenQuietMs = 100;
constexpr unsigned kOpenQuietLimitMs = 2000;

// The serial line as the engine's frame channel, and the monitor's receive sink: bytes go
// to the reply processing, "input drained" wakes a transfer waiting to ask for a block.
class CSerialFrameChannel : public IFrameChannel, public ReceiveSink {
 public:
  explicit CSerialFrameChannel(CCameraProtocol::Impl& engine) : m_engine(engine) {}
  CSerialChannel& Serial() { return m_serial; }
  int Send(const uint8_t* frame, size_t length) override { return m_serial.Send(frame, length); }
  bool ReceiveIdle() override { return m_serial.ReceiveIdle(); }
  void ClearReceiveIdle() override { m_serial.ClearReceiveIdle(); }
  void Close() override { m_serial.Close(); }
  void AppendReceived(const uint8_t* bytes, unsigned count) override {
    m_engine.self.AppendReceived(bytes, count);
  }
  void InputDrained() override { m_engine.WakeWaits(); }

 private:
  CCameraProtocol::Impl& m_engine;
  CSerialChannel m_serial;
};

}  // namespace

int CCameraProtocol::Impl::OpenSerial(
    const std::function<int(CSerialChannel&, ReceiveSink*)>& open) {
  self.ClosePort();
  // An Open starts from an empty queue: nothing asked before it is answered on this line.
  AbandonQueued(Outcome::Cancelled, {});
  auto port = std::make_shared<CSerialFrameChannel>(*this);
  const int opened = open(port->Serial(), port.get());
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.portOpen = opened != 0;
    st.lastOpenError = opened ? std::string() : port->Serial().LastOpenError();
    st.lastOpenRefusedSettings = !opened && port->Serial().LastOpenRefusedSettings();
  }
  if (!opened) return 0;
  {
    std::lock_guard<std::mutex> lock(channelMutex);
    portChannel = port;
    channel = port;
  }
  {
    std::lock_guard<std::mutex> lock(rxMutex);
    openTick = clock->TickMs();
    appendedAtOpen = rxAppended;
  }
  {
    std::lock_guard<std::mutex> lock(issueMutex);
    holdFrames = quietOnOpen.load();
  }
  // The worker first, so no received byte finds nobody to process it.
  self.StartWorker();
  port->Serial().StartMonitor();
  return opened;
}

int CCameraProtocol::OpenPort(int port, unsigned baud, char parity, unsigned dataBits,
                              unsigned stopBits, unsigned writeBuffer) {
  return m_pImpl->OpenSerial([&](CSerialChannel& serial, ReceiveSink* sink) {
    return serial.Open(this, sink, static_cast<unsigned>(port), baud, parity, dataBits, stopBits,
                       writeBuffer);
  });
}

int CCameraProtocol::OpenDevice(const std::string& device, int port, unsigned baud) {
  return m_pImpl->OpenSerial([&](CSerialChannel& serial, ReceiveSink* sink) {
    return serial.OpenDevice(this, sink, device, static_cast<unsigned>(port), baud, 'N', 8, 1,
                             512);
  });
}

int CCameraProtocol::OpenConnected(const std::string& device, int port, unsigned baud,
                                   NetworkOpenResult opened, unsigned writeBuffer) {
  return m_pImpl->OpenSerial([&](CSerialChannel& serial, ReceiveSink* sink) {
    return serial.OpenConnected(this, sink, device, static_cast<unsigned>(port), baud, writeBuffer,
                                std::move(opened));
  });
}

void CCameraProtocol::SetQuietBeforeFirstRequest(bool wait) { m_pImpl->quietOnOpen = wait; }

// The worker does not read replies or reports while frames are held (Pass), so the leftovers
// are not taken for answers. Close ends the wait and sends nothing (ClosePort cancels the
// held requests); Stop and a capture's flush take the requests back, which ends it too; a
// lost line sends them the usual way to fail.
void CCameraProtocol::Impl::QuietThenReleaseHeld() {
  {
    std::unique_lock<std::mutex> lock(rxMutex);
    const uint32_t start = clock->TickMs();
    // Quiet since the open, unless something came since.
    uint32_t since = rxAppended == appendedAtOpen ? openTick : start;
    uint64_t seen = rxAppended;
    bool told = false;
    for (;;) {
      if (exitRequested || !framesHeld) return;
      if (lineFailed) break;
      if (rxAppended != seen) {
        seen = rxAppended;
        since = clock->TickMs();
      }
      if (!told && seen != appendedAtOpen) {
        told = true;
        self.LogInfo("The camera is still sending: waiting for the line to go quiet");
      }
      const uint32_t now = clock->TickMs();
      const int32_t left = std::min(static_cast<int32_t>(kOpenQuietMs) - TickDiff(since, now),
                                    static_cast<int32_t>(kOpenQuietLimitMs) - TickDiff(start, now));
      if (left <= 0) break;
      clock->WaitFor(rxCv, lock, static_cast<unsigned>(left), [&] {
        return rxAppended != seen || exitRequested || lineFailed || !framesHeld;
      });
    }
    std::vector<uint8_t>().swap(rx);
  }
  std::lock_guard<std::mutex> issue(issueMutex);
  holdFrames = false;
  framesHeld = false;
  std::shared_ptr<IFrameChannel> line = Channel();
  for (auto& frame : heldFrames) Write(std::move(frame), line);
  heldFrames.clear();
}
