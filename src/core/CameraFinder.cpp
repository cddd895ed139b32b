#include "core/CameraFinder.h"

#include <algorithm>

#include "core/ModelIdentification.h"
#include "protocol/CameraProtocol.h"
#include "protocol/CommandCodes.h"
#include "serial/PortMap.h"

std::vector<unsigned> SearchRates(const std::vector<unsigned>& listed) {
  std::vector<unsigned> order;
  for (unsigned likely : {38400u, 115200u})
    if (std::find(listed.begin(), listed.end(), likely) != listed.end()) order.push_back(likely);
  for (unsigned rate : listed)
    if (std::find(order.begin(), order.end(), rate) == order.end()) order.push_back(rate);
  return order;
}

std::vector<unsigned> DefaultSearchRates() {
  std::vector<unsigned> listed;
  for (const std::string& item : RateItems()) listed.push_back(static_cast<unsigned>(std::stoul(item)));
  return SearchRates(listed);
}

std::vector<FindCandidate> SearchCandidates(const std::vector<std::string>& named,
                                            int preferred) {
  CPortMap& map = GlobalPortMap();
  std::vector<FindCandidate> ports;
  if (named.empty()) {
    map.Refresh();
    for (const PortEntry& entry : map.MappedEntries()) ports.push_back({entry.number, entry.device});
  }
  for (const std::string& text : named) {
    const PortName name = map.Resolve(text);
    ports.push_back({name.number, name.device});
  }
  std::stable_partition(ports.begin(), ports.end(), [preferred](const FindCandidate& c) {
    return preferred > 0 && c.port == preferred;
  });
  return ports;
}

struct CCameraFinder::TryState {
  bool answered = false;  // the version query ended (any outcome)
  CommandResult version;
};

namespace {

// The engine's host for the search: it only listens for the version query's end.
class CFinderHost : public CameraHost {
 public:
  using Sink = std::function<void(const CommandResult&)>;
  explicit CFinderHost(Sink sink) : m_sink(std::move(sink)) {}
  void CommandFinished(const CommandResult& result) override {
    if (result.code == CMD_GET_VERSION) m_sink(result);
  }

 private:
  Sink m_sink;
};

}  // namespace

CCameraFinder::CCameraFinder(std::vector<FindCandidate> ports, std::vector<unsigned> rates)
    : m_ports(std::move(ports)), m_rates(std::move(rates)) {}

void CCameraFinder::Cancel() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cancelled = true;
  m_wake.notify_all();
}

bool CCameraFinder::Cancelled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_cancelled;
}

std::vector<std::string> CCameraFinder::OpenFailures() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openFailures;
}

std::optional<FoundCamera> CCameraFinder::Run(const std::function<void(const FindStep&)>& progress) {
  FindStep step;
  step.total = m_ports.size() * m_rates.size();
  for (const FindCandidate& where : m_ports) {
    for (unsigned baud : m_rates) {
      if (Cancelled()) return std::nullopt;
      step.where = where;
      step.baud = baud;
      if (progress) progress(step);
      ++step.index;
      FoundCamera found;
      const TryOutcome outcome = Try(where, baud, found);
      if (outcome == TryOutcome::Answered) return found;
      if (outcome == TryOutcome::Cancelled) return std::nullopt;
      if (outcome == TryOutcome::CannotOpen) {
        step.index += static_cast<size_t>(m_rates.end() - std::find(m_rates.begin(), m_rates.end(), baud)) - 1;
        break;  // no other rate will open it either
      }
    }
  }
  return std::nullopt;
}

CCameraFinder::TryOutcome CCameraFinder::Try(const FindCandidate& where, unsigned baud,
                                             FoundCamera& found) {
  TryState state;
  CFinderHost host([this](const CommandResult& result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pCurrent) return;  // a late report of a try already given up
    m_pCurrent->answered = true;
    m_pCurrent->version = result;
    m_wake.notify_all();
  });
  CCameraProtocol cam(&host);
  cam.ApplySerialNumber(m_serial);
  // A try lasts half a second: a quiet wait before each would slow the search by a fifth.
  cam.SetQuietBeforeFirstRequest(false);
  if (cam.OpenDevice(where.device, where.port, baud) != 1) {
    // An adapter without this rate may still have the next one.
    if (cam.LastOpenRefusedSettings()) return TryOutcome::Silent;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openFailures.push_back(PortLabel(where.port, where.device) + ": " + cam.LastOpenError());
    return TryOutcome::CannotOpen;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pCurrent = &state;
  }
  cam.Issue(MakeCommand(CMD_GET_VERSION));
  bool cancelled;
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, m_tryTimeout, [&] { return m_cancelled || state.answered; });
    cancelled = m_cancelled;
    m_pCurrent = nullptr;
  }
  cam.ClearCommands();
  cam.ClosePort();
  if (cancelled) return TryOutcome::Cancelled;
  const VersionReply* reply = state.version.Data<VersionReply>();
  if (!state.answered || !state.version.Ok() || !reply) return TryOutcome::Silent;
  found.where = where;
  found.baud = baud;
  found.versionText = reply->text;
  found.model = ParseVersionText(reply->text, ModelInfo{}).info;
  return TryOutcome::Answered;
}
