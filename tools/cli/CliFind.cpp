#include "CliFind.h"

#include <mutex>

#include "CliOutput.h"
#include "serial/PortMap.h"

namespace cli {

CCliFind::CCliFind(const GlobalOptions& global, ResultWriter& writer, bool showProgress)
    : m_global(global), m_writer(writer), m_bShowProgress(showProgress) {}

void CCliFind::Cancel() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bCancelled = true;
  if (m_pFinder) m_pFinder->Cancel();
}

int CCliFind::Search(const std::vector<FindCandidate>& ports, std::optional<FoundCamera>& found) {
  CCameraFinder finder(ports, DefaultSearchRates());
  finder.SetSerialNumber(m_global.serial);
  finder.SetTryTimeout(m_tryTimeout);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pFinder = &finder;
    if (m_bCancelled) finder.Cancel();  // an interrupt that came before the finder
  }
  found = finder.Run([&](const FindStep& step) {
    if (!m_bShowProgress) return;
    m_writer.Transient("trying " + PortLabel(step.where.port, step.where.device) + " at " + std::to_string(step.baud) + " (" +
                       std::to_string(step.index + 1) + "/" + std::to_string(step.total) + ")");
  });
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pFinder = nullptr;
  }
  if (m_bShowProgress) m_writer.Transient("");
  if (found) return kExitOk;
  const bool cancelled = finder.Cancelled();
  for (const std::string& failure : finder.OpenFailures()) m_writer.Error(failure);
  std::string text =
      cancelled ? std::string("interrupted")
                : ports.empty() ? std::string("no serial ports to search; name one with --port")
                                : "no camera answered on " + std::to_string(ports.size()) +
                                      (ports.size() == 1 ? " port" : " ports") +
                                      " at any rate; check the camera's power and wiring" +
                                      (m_global.ports.empty() ? ", or name its port with --port" : "");
  m_writer.Error(text);
  const int status = cancelled ? kExitInterrupted : kExitTimeout;
  if (m_writer.Json()) {
    ResultLine line;
    line.command = "find";
    line.ok = false;
    line.fields = {Field::Int("exit", status), Field::Str("error", text)};
    m_writer.Result(line);
  }
  return status;
}

void CCliFind::Report(const FoundCamera& found) {
  ResultLine line;
  line.command = "find";
  const std::string port = found.where.port > 0 ? PortLabel(found.where.port, "") : "";
  line.fields = {Field::Str("port", port),
                 Field::Str("device", found.where.device),
                 Field::Int("baud", found.baud),
                 Field::Str("version", found.versionText),
                 Field::Int("model", found.model.modelCode),
                 Field::Int("variant", found.model.modelVariant),
                 Field::Int("firmware", found.model.firmwareVersion)};
  line.text = (port.empty() ? found.where.device : port + " " + found.where.device) + " at " +
              std::to_string(found.baud) + ": " + found.versionText +
              "\nmodel=" + std::to_string(found.model.modelCode) +
              " variant=" + std::to_string(found.model.modelVariant) +
              " firmware=" + std::to_string(found.model.firmwareVersion);
  m_writer.Result(line);
}

}  // namespace cli
