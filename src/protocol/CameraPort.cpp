// Opening the serial line: the only file that touches CSerialChannel, so the engine
// builds and is tested without a port.
#include "protocol/ProtocolImpl.h"
#include "serial/SerialChannel.h"

namespace {

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
