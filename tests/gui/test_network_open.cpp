// Opening a network port from the window: the connection is made off the GUI thread, so
// the window goes on while a server stays silent, Close (or closing the window) gives the
// attempt up at once, and a port server that answers opens like a local device.
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "PortServer.h"
#include "camsim/CamSim.h"
#include "test_support.h"
#include "ui/main_window_fixture.h"

namespace {

constexpr int kWaitMs = 20000;

// Takes connections and never answers: an RFC 2217 open waits for it until its bound.
class CSilentServer {
 public:
  CSilentServer() {
    uint16_t port = 0;
    m_listener = testsupport::LoopbackListener(&port);
    if (m_listener >= 0) m_url = "rfc2217://127.0.0.1:" + std::to_string(port);
  }
  ~CSilentServer() {
    if (m_client >= 0) close(m_client);
    close(m_listener);
  }
  const std::string& Url() const { return m_url; }
  // True once the client's connection is taken (non-blocking: the test keeps the GUI going).
  bool Accepted() {
    if (m_client < 0) m_client = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return m_client >= 0;
  }
  // True once the client has closed its end (whatever it sent before is read and dropped).
  bool PeerClosed() {
    char buffer[256];
    for (;;) {
      const ssize_t n = recv(m_client, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0) return false;
    }
  }

 private:
  int m_listener = -1;
  int m_client = -1;
  std::string m_url;
};

}  // namespace

class TestNetworkOpen : public QObject, CMainWindowFixture {
  Q_OBJECT

 private:
  int m_ticks = 0;

  // Starts a connection to a silent server on COM3 and waits until the server holds it,
  // with a timer firing on the GUI thread meanwhile.
  void ConnectToSilent(CSilentServer& server) {
    C(IDC_PORT)->setCurrentIndex(2);
    B(IDC_OPEN)->click();
    QVERIFY(m_dlg->IsConnecting());
    QTimer ticker;
    m_ticks = 0;
    connect(&ticker, &QTimer::timeout, this, [this] { ++m_ticks; });
    ticker.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(server.Accepted() && m_ticks >= 3, kWaitMs);
    QVERIFY(m_dlg->IsConnecting());  // the server has said nothing: still waiting
  }

 private slots:
  void init() { SetUpWindow(); }
  void cleanup() { TearDownWindow(); }

  // The window runs while the server is silent; a second Open does nothing; Close ends the
  // attempt at once and closes the connection, and its late result changes nothing.
  void closeGivesUpASilentServer() {
    CSilentServer server;
    QVERIFY(!server.Url().empty());
    testsupport::PortOverride port(3, server.Url());
    ConnectToSilent(server);
    QVERIFY(!B(IDC_OPEN)->isVisible());
    QVERIFY(B(IDC_CLOSE)->isVisible());
    QVERIFY(!C(IDC_PORT)->isEnabled());
    QVERIFY(!C(IDC_BAUD)->isEnabled());
    QVERIFY(!B(IDC_SINGLE_CAPTURE)->isEnabled());
    B(IDC_OPEN)->click();  // hidden, but keyboard access or a script may still reach it
    QCOMPARE(LineCount("Connecting to " + server.Url()), 1);

    B(IDC_CLOSE)->click();
    QVERIFY(!m_dlg->IsConnecting());
    QVERIFY(!m_dlg->IsPortOpen());
    QVERIFY(B(IDC_OPEN)->isVisible());
    QVERIFY(!B(IDC_CLOSE)->isVisible());
    QVERIFY(C(IDC_PORT)->isEnabled());
    QVERIFY(C(IDC_BAUD)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(server.PeerClosed(), kWaitMs);
    // The attempt's thread is joined, so its result is already queued: run it.
    QCoreApplication::processEvents();
    QCOMPARE(LineCount("Open COM3"), 0);
    QVERIFY(Boxes().empty());
    QVERIFY(AnyLine("Connection given up"));
  }

  // Closing the window mid-connect returns, closes the connection and leaves no thread
  // behind to post into a window that is gone.
  void closingTheWindowEndsTheAttempt() {
    CSilentServer server;
    testsupport::PortOverride port(3, server.Url());
    ConnectToSilent(server);
    m_dlg.reset();
    QTRY_VERIFY_WITH_TIMEOUT(server.PeerClosed(), kWaitMs);
    QCoreApplication::processEvents();
  }

  // Through ser2net to the virtual camera: the open lands on the GUI thread as a local
  // one does (the same log line, the version query answered), and Close closes the port.
  void aPortServerOpensAndIdentifies() {
    if (!testsupport::CPortServer::Available()) QSKIP("ser2net is not installed");
    CamSimOptions options;
    options.baud = 115200;
    options.model = "QVX5M0 2.00";
    m_sim = std::make_unique<CCamSim>(options);
    QVERIFY(m_sim->Start());
    testsupport::CPortServer server;
    QVERIFY(server.Start(m_sim->SlavePath(), testsupport::CPortServer::Kind::Rfc2217));
    testsupport::PortOverride port(4, server.Url());
    C(IDC_PORT)->setCurrentIndex(3);
    C(IDC_BAUD)->setCurrentIndex(C(IDC_BAUD)->findText("115200"));
    B(IDC_OPEN)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->IsPortOpen(), kWaitMs);
    QVERIFY(!m_dlg->IsConnecting());
    QVERIFY(AnyLine("Open COM4 success,baud is 115200"));
    QTRY_VERIFY_WITH_TIMEOUT(!W<QLineEdit>(IDC_VERSION)->text().isEmpty() && Quiet(), kWaitMs);
    QVERIFY(B(IDC_SINGLE_CAPTURE)->isEnabled());
    B(IDC_CLOSE)->click();
    QVERIFY(!m_dlg->IsPortOpen());
    QVERIFY(B(IDC_OPEN)->isVisible());
    m_dlg.reset();  // before the camera: the window's port goes first
    m_sim.reset();
  }
};

QTEST_MAIN(TestNetworkOpen)
#include "test_network_open.moc"
