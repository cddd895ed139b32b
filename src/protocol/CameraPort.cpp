// Opening the serial line: the only file that touches CSerialChannel, so the engine
// builds and is tested without a port.
#include "protocol/ProtocolImpl.h"
#include "serial/SerialChannel.h"

namespace {

class CSerialFrameChannel : public IFrameChannel {
 public:
  CSerialChannel& Serial() { return m_serial; }
  int Send(const uint8_t* frame, size_t length) override { return m_serial.Send(frame, length); }
  bool ReceiveIdle() override { return m_serial.ReceiveIdle(); }
  void ClearReceiveIdle() override { m_serial.ClearReceiveIdle(); }
  void Close() override { m_serial.Close(); }

 private:
  CSerialChannel m_serial;
};

}  // namespace

int CCameraProtocol::Impl::OpenSerial(const std::function<int(CSerialChannel&)>& open) {
  self.ClosePort();
  auto port = std::make_shared<CSerialFrameChannel>();
  const int opened = open(port->Serial());
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.portOpen = opened != 0;
    st.lastOpenError = opened ? std::string() : port->Serial().LastOpenError();
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
                              unsigned stopBits, unsigned eventMask, unsigned writeBuffer) {
  return m_pImpl->OpenSerial([&](CSerialChannel& serial) {
    return serial.Open(this, this, static_cast<unsigned>(port), baud, parity, dataBits, stopBits,
                       eventMask, writeBuffer);
  });
}

int CCameraProtocol::OpenDevice(const std::string& device, int port, unsigned baud) {
  return m_pImpl->OpenSerial([&](CSerialChannel& serial) {
    return serial.OpenDevice(this, this, device, static_cast<unsigned>(port), baud, 'N', 8, 1, 9,
                             512);
  });
}
