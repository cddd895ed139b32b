#include "dialogs/StationTile.h"

#include "dialogs/StationChild.h"


#include <sys/resource.h>

#include <QAccessible>
#include <algorithm>
#include <utility>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// A child's output is the station's own events; a line past this is not one of them.
constexpr int kMaxEventLine = 1 << 20;
constexpr int kThumbWidth = 160;
// After a run, the next child is loaded this much later (a rack's tiles end within about
// half a second of each other).
constexpr int kLoadAfterMs = 1500;
// Well below the window (added to its niceness), not the lowest: with other programs busy
// on the machine, nice 19 made one camera's run 2-3 times as long (each of its waits for
// the CPU is longer), while 10 kept it within about 15 % and the window's stalls as short.
constexpr int kChildNice = 10;

}  // namespace

int ChildNice() { return std::min(getpriority(PRIO_PROCESS, 0) + kChildNice, 19); }

namespace {

struct StateLook {
  const char* text;
  const char* colour;  // background; the text is white or black for contrast
  const char* ink;
};

StateLook Look(CStationTile::State state) {
  switch (state) {
    case CStationTile::State::Idle: return {"READY", "#d0d0d0", "#000000"};
    case CStationTile::State::Running: return {"TESTING", "#1f5fbf", "#ffffff"};
    case CStationTile::State::Passed: return {"PASS", "#0a7d23", "#ffffff"};
    case CStationTile::State::Marginal: return {"MARGINAL", "#e0a000", "#000000"};
    case CStationTile::State::Failed: return {"FAIL", "#c0141e", "#ffffff"};
    case CStationTile::State::Stopped: return {"STOPPED", "#6b6b6b", "#ffffff"};
  }
  return {"", "", ""};
}

QString Number(const QJsonValue& value) {
  return value.isDouble() ? QString::number(value.toDouble(), 'g', 6) : value.toString();
}

// The measurement that failed (or was marginal) with its limits, "sharpness 12.5 (20..)",
// from a record that keeps measurements; "" when it keeps none.
QString MeasurementText(const QJsonObject& record, const QString& outcome) {
  for (const QJsonValue& m : record.value("measurements").toArray()) {
    const QJsonObject o = m.toObject();
    if (o.value("outcome").toString() != outcome) continue;
    QString text = o.value("name").toString() + " " + Number(o.value("value"));
    if (!o.value("unit").toString().isEmpty()) text += " " + o.value("unit").toString();
    const QString low = Number(o.value("low")), high = Number(o.value("high"));
    const QString written = o.value("limits").toString();
    if (!written.isEmpty()) text += " (" + written + ")";
    else if (!low.isEmpty() || !high.isEmpty()) text += " (limits " + low + ".." + high + ")";
    return text;
  }
  return {};
}

}  // namespace

CStationTile::CStationTile(const StationTileSetup& setup, QWidget* parent)
    : QFrame(parent), m_setup(setup) {
  setFrameShape(QFrame::StyledPanel);
  setObjectName("stationTile");
  setFocusPolicy(Qt::NoFocus);
  auto* layout = new QVBoxLayout(this);
  auto* head = new QLabel(setup.name + (setup.adapter.isEmpty() ? "" : "  (" + setup.adapter + ")"), this);
  head->setObjectName("tilePort");
  head->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(head);

  m_pUnit = new QLineEdit(this);
  m_pUnit->setObjectName("tileUnit");
  m_pUnit->setPlaceholderText("Scan or type the unit's serial");
  m_pUnit->setAccessibleName("Unit serial for " + setup.name);
  // A scanner types the label and ends with Enter: the scan starts the test.
  connect(m_pUnit, &QLineEdit::returnPressed, this, [this] {
    if (!Running()) Start();
  });
  layout->addWidget(m_pUnit);

  m_pStep = new QLabel("-", this);
  m_pStep->setObjectName("tileStep");
  layout->addWidget(m_pStep);
  m_pBar = new QProgressBar(this);
  m_pBar->setObjectName("tileProgress");
  m_pBar->setRange(0, 100);
  m_pBar->setValue(0);
  m_pBar->setAccessibleName("Progress of " + setup.name);
  layout->addWidget(m_pBar);

  auto* middle = new QHBoxLayout;
  m_pThumb = new QLabel(this);
  m_pThumb->setObjectName("tileThumbnail");
  m_pThumb->setFixedSize(kThumbWidth, kThumbWidth * 3 / 4);
  m_pThumb->setAlignment(Qt::AlignCenter);
  m_pThumb->setAccessibleName("Last picture of " + setup.name);
  middle->addWidget(m_pThumb);
  m_pResult = new QLabel(this);
  m_pResult->setObjectName("tileResult");
  m_pResult->setAlignment(Qt::AlignCenter);
  m_pResult->setMinimumHeight(kThumbWidth * 3 / 4);
  QFont big = m_pResult->font();
  // About 15 mm capitals on a desktop monitor: readable from two metres.
  big.setPointSize(28);
  big.setBold(true);
  m_pResult->setFont(big);
  middle->addWidget(m_pResult, 1);
  layout->addLayout(middle);

  m_pDetail = new QLabel(this);
  m_pDetail->setObjectName("tileDetail");
  m_pDetail->setWordWrap(true);
  m_pDetail->setTextFormat(Qt::PlainText);
  layout->addWidget(m_pDetail);

  m_pPrompt = new QFrame(this);
  m_pPrompt->setObjectName("tilePrompt");
  m_pPrompt->setFrameShape(QFrame::Box);
  auto* prompt = new QVBoxLayout(m_pPrompt);
  m_pPromptText = new QLabel(m_pPrompt);
  m_pPromptText->setObjectName("tilePromptText");
  m_pPromptText->setWordWrap(true);
  m_pPromptText->setTextFormat(Qt::PlainText);
  QFont question = m_pPromptText->font();
  question.setPointSize(question.pointSize() + 4);
  question.setBold(true);
  m_pPromptText->setFont(question);
  prompt->addWidget(m_pPromptText);
  m_pPromptPicture = new QLabel(m_pPrompt);
  m_pPromptPicture->setObjectName("tilePromptPicture");
  prompt->addWidget(m_pPromptPicture);
  m_pPromptLeft = new QLabel(m_pPrompt);
  m_pPromptLeft->setObjectName("tilePromptLeft");
  prompt->addWidget(m_pPromptLeft);
  auto* answers = new QHBoxLayout;
  m_pPass = new QPushButton("Pass", m_pPrompt);
  m_pPass->setObjectName("tilePromptPass");
  m_pFail = new QPushButton("Fail", m_pPrompt);
  m_pFail->setObjectName("tilePromptFail");
  // Never a default button: a scan's Enter elsewhere must not answer for the operator.
  m_pPass->setAutoDefault(false);
  m_pFail->setAutoDefault(false);
  answers->addWidget(m_pPass);
  answers->addWidget(m_pFail);
  prompt->addLayout(answers);
  connect(m_pPass, &QPushButton::clicked, this, [this] { Answer(true); });
  connect(m_pFail, &QPushButton::clicked, this, [this] { Answer(false); });
  m_pPrompt->hide();
  layout->addWidget(m_pPrompt);
  m_pCountdown = new QTimer(this);
  m_pCountdown->setInterval(1000);
  connect(m_pCountdown, &QTimer::timeout, this, [this] {
    if (--m_promptLeft <= 0) {
      // The child fails the step itself at its time-out; the question goes.
      HidePrompt();
      return;
    }
    m_pPromptLeft->setText(QString("%1 s left").arg(m_promptLeft));
  });

  auto* buttons = new QHBoxLayout;
  m_pStart = new QPushButton("Start", this);
  m_pStart->setObjectName("tileStart");
  m_pStart->setAccessibleName("Start " + setup.name);
  m_pStart->setAutoDefault(false);
  m_pStop = new QPushButton("Stop", this);
  m_pStop->setObjectName("tileStop");
  m_pStop->setAccessibleName("Stop " + setup.name);
  m_pStop->setAutoDefault(false);
  m_pStop->setEnabled(false);
  buttons->addWidget(m_pStart);
  buttons->addWidget(m_pStop);
  layout->addLayout(buttons);
  connect(m_pStart, &QPushButton::clicked, this, &CStationTile::Start);
  connect(m_pStop, &QPushButton::clicked, this, &CStationTile::Stop);
  // The room a question takes stays free below the buttons while none is asked.
  layout->addStretch(1);

  ShowResult(State::Idle, {});
  // A tile of fixed size keeps its texts' changes to itself: otherwise each step's label of
  // each tile lays out the whole window again, which stalls it with a rack running. Its
  // size is that with the prompt shown, so a question never squeezes it.
  m_pDetail->setFixedHeight(m_pDetail->fontMetrics().lineSpacing() * 3);
  m_pPromptText->setFixedHeight(m_pPromptText->fontMetrics().lineSpacing() * 2);
  m_pPromptPicture->setFixedSize(kThumbWidth, kThumbWidth * 3 / 4);
  m_pPromptPicture->setAlignment(Qt::AlignCenter);
  m_pPrompt->setVisible(true);
  // Wrapped labels make the plain size hint far taller than the tile needs at its width.
  const int width = std::max(sizeHint().width(), kThumbWidth * 2 + 40);
  const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                 : layout->totalMinimumSize().height();
  m_pPrompt->setVisible(false);
  setFixedSize(width, height);
  Load();
}

// The child, if running, is interrupted (once) and waited for: its Ctrl+C path closes the
// port and writes the record.
// An ended child may still be decoding a thumbnail for this tile: it goes here too, while
// the tile is whole.
CStationTile::~CStationTile() { qDeleteAll(findChildren<CStationChild*>(Qt::FindDirectChildrenOnly)); }

qint64 CStationTile::ChildPid() const { return m_pChild ? m_pChild->Pid() : 0; }

qint64 CStationTile::LoadedPid() const { return m_pLoaded ? m_pLoaded->Pid() : 0; }

QString CStationTile::Unit() const { return m_pUnit->text().trimmed(); }

QStringList CStationTile::Arguments(bool withUnit) const {
  QStringList args = {"--out", m_setup.outDir, "station", m_setup.planPath,
                      "--ports", m_setup.port, "--events", "-"};
  if (!m_setup.dbTarget.isEmpty()) args << "--db" << m_setup.dbTarget;
  if (withUnit && !Unit().isEmpty()) args << "--unit" << m_setup.name + "=" + Unit();
  return args;
}

void CStationTile::Load() {
  if (m_pLoaded || m_pChild || m_setup.cliPath.isEmpty()) return;
  auto* loaded = new CStationChild(m_setup.processThread, this);
  m_pLoaded = loaded;
  // Ended while waiting (killed, or a program that will not run): the next Start runs one
  // afresh, which then says why. Not loaded again here, so a broken program cannot loop.
  connect(loaded, &CStationChild::finished, this, [this, loaded] {
    if (m_pLoaded != loaded) return;
    m_pLoaded = nullptr;
    loaded->deleteLater();
  });
  // The plan, the port and the store are read only once started: what runs is what they
  // say then. At the runs' niceness, as every child.
  loaded->Start(m_setup.cliPath, Arguments(false) << "--wait-for-start", ChildNice());
}

void CStationTile::Follow(CStationChild* child) {
  m_pChild = child;
  connect(child, &CStationChild::output, this, &CStationTile::OnOutput);
  connect(child, &CStationChild::errors, this, [this](const QByteArray& data) {
    m_errors += QString::fromUtf8(data);
    // Only the end tells why a run failed to start.
    if (m_errors.size() > 4096) m_errors = m_errors.right(4096);
  });
  connect(child, &CStationChild::finished, this, &CStationTile::OnFinished);
}

void CStationTile::Start() {
  if (m_pChild) return;
  m_pending.clear();
  m_errors.clear();
  m_record = {};
  m_steps.clear();
  m_stopAsked = false;
  m_pBar->setValue(0);
  m_pStep->setText("starting");
  m_pThumb->clear();
  m_pUnit->setReadOnly(true);
  m_pStart->setEnabled(false);
  m_pStop->setEnabled(true);
  ShowResult(State::Running, {});
  if (CStationChild* loaded = std::exchange(m_pLoaded, nullptr)) {
    disconnect(loaded, &CStationChild::finished, this, nullptr);
    Follow(loaded);
    QJsonObject start{{"start", true}};
    if (!Unit().isEmpty()) start.insert("unit", m_setup.name + "=" + Unit());
    loaded->Write(QJsonDocument(start).toJson(QJsonDocument::Compact) + "\n");
    return;
  }
  Follow(new CStationChild(m_setup.processThread, this));
  // The runs are background work, waiting on the serial line nearly all the time: the
  // operator's window keeps first call on the CPU, so sixteen runs starting and
  // transferring at once do not starve its repaints on a small machine.
  m_pChild->Start(m_setup.cliPath, Arguments(true), ChildNice());
}

void CStationTile::Stop() {
  if (!m_pChild || m_stopAsked) return;
  m_stopAsked = true;
  HidePrompt();
  // The command line's own Ctrl+C: the camera stops at a safe point and its record is kept.
  m_pChild->Interrupt();
  m_pStep->setText("stopping");
}

void CStationTile::OnOutput(const QByteArray& data) {
  m_pending += data;
  for (qsizetype end; (end = m_pending.indexOf('\n')) >= 0;) {
    const QByteArray line = m_pending.left(end);
    m_pending.remove(0, end + 1);
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    // The result line at the end is not an event.
    if (doc.isObject() && doc.object().contains("event")) OnEvent(doc.object());
  }
  if (m_pending.size() > kMaxEventLine) m_pending.clear();
}

void CStationTile::OnEvent(const QJsonObject& event) {
  const QString kind = event.value("event").toString();
  if (kind == "camera-started") {
    m_steps.clear();
    for (const QJsonValue& step : event.value("steps").toArray()) m_steps << step.toString();
  } else if (kind == "step-started") {
    const int index = event.value("index").toInt();
    m_pStep->setText(QString("%1/%2 %3").arg(index + 1).arg(m_steps.size()).arg(event.value("name").toString()));
    m_pBar->setValue(m_steps.isEmpty() ? 0 : 100 * index / int(m_steps.size()));
  } else if (kind == "progress") {
    const int percent = event.value("percent").toInt(-1);
    if (percent >= 0) m_pBar->setValue(percent);
  } else if (kind == "step-ended") {
    const int index = event.value("index").toInt();
    if (!m_steps.isEmpty()) m_pBar->setValue(100 * (index + 1) / int(m_steps.size()));
    if (event.value("name").toString() == "prompt") HidePrompt();
  } else if (kind == "picture") {
    if (m_pChild)
      m_pChild->DecodeThumbnail(event.value("path").toString(), m_pThumb->size(), this,
                                [this](const QImage& image) { m_pThumb->setPixmap(QPixmap::fromImage(image)); });
  } else if (kind == "prompt") {
    ShowPrompt(event);
  } else if (kind == "camera-ended") {
    m_record = event.value("record").toObject();
  }
  UpdateAccessible();
}

void CStationTile::ShowPrompt(const QJsonObject& event) {
  m_pPromptText->setText(event.value("text").toString());
  const QString picture = event.value("picture").toString();
  m_pPromptPicture->clear();
  if (!picture.isEmpty()) {
    QImageReader reader(picture);
    const QSize size = reader.size();
    if (size.isValid()) reader.setScaledSize(size.scaled(m_pPromptPicture->size(), Qt::KeepAspectRatio));
    m_pPromptPicture->setPixmap(QPixmap::fromImage(reader.read()));
  }
  m_promptLeft = (event.value("timeoutMs").toInt() + 999) / 1000;
  m_pPromptLeft->setText(QString("%1 s left").arg(m_promptLeft));
  m_pPrompt->setAccessibleName("Question for " + m_setup.name);
  m_pPrompt->setAccessibleDescription(m_pPromptText->text());
  m_pPrompt->show();
  m_pCountdown->start();
  // Keyboard: the question takes the focus to its Pass button, never answering by itself.
  m_pPass->setFocus();
  QAccessibleEvent alert(m_pPrompt, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void CStationTile::Answer(bool pass) {
  if (!m_pChild) return;
  const QJsonObject answer{{"port", m_setup.port}, {"answer", pass ? "pass" : "fail"}};
  m_pChild->Write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + "\n");
  HidePrompt();
}

void CStationTile::HidePrompt() {
  m_pCountdown->stop();
  m_pPrompt->hide();
}

void CStationTile::OnFinished(int status, QProcess::ExitStatus how) {
  if (!m_pChild) return;
  // Its output came before its end (one thread, queued in order).
  m_pChild->deleteLater();
  m_pChild = nullptr;
  HidePrompt();
  m_pUnit->setReadOnly(false);
  m_pStart->setEnabled(true);
  m_pStop->setEnabled(false);
  State state = State::Failed;
  QString detail;
  if (m_record.isEmpty()) {
    // No record: the run never reached the camera (a bad plan, a store it cannot use, the
    // program missing or crashed). Its last words say why.
    const QString last = m_errors.trimmed().section('\n', -1);
    if (how == QProcess::CrashExit)
      detail = status == -1 ? "cannot run " + m_setup.cliPath : "brevant-cli crashed";
    else
      detail = QString("brevant-cli ended with status %1").arg(status);
    if (!last.isEmpty()) detail += ": " + last;
    if (m_stopAsked) state = State::Stopped;
  } else if (m_record.value("interrupted").toBool() || m_record.value("cameraInterrupted").toBool() ||
             m_stopAsked) {
    state = State::Stopped;
  } else if (m_record.value("passed").toBool()) {
    const QString marginal = MeasurementText(m_record, "marginal");
    const bool marked = m_record.value("result").toString() == "marginal";
    state = marginal.isEmpty() && !marked ? State::Passed : State::Marginal;
    detail = marginal;
  } else {
    state = State::Failed;
    for (const QJsonValue& step : m_record.value("steps").toArray()) {
      const QJsonObject s = step.toObject();
      if (s.value("result").toString() != "fail") continue;
      detail = s.value("name").toString() + ": " + s.value("message").toString();
      break;
    }
    const QString measurement = MeasurementText(m_record, "fail");
    if (!measurement.isEmpty()) detail = measurement;
  }
  ShowResult(state, detail);
  if (state == State::Passed || state == State::Marginal) m_pBar->setValue(100);
  m_pStep->setText(state == State::Stopped ? "stopped" : "done");
  // Loading takes a burst of CPU: not while the rest of a rack started with this one is
  // still saving its pictures and records, which it would hold up.
  QTimer::singleShot(kLoadAfterMs, this, &CStationTile::Load);
  emit finished(this, m_record);
}

void CStationTile::ShowResult(State state, const QString& detail) {
  m_state = state;
  const StateLook look = Look(state);
  m_pResult->setText(look.text);
  m_pResult->setStyleSheet(QString("QLabel { background: %1; color: %2; border-radius: 4px; }")
                               .arg(look.colour, look.ink));
  m_pDetail->setText(detail);
  UpdateAccessible();
}

void CStationTile::UpdateAccessible() {
  // One sentence a screen reader reads for the tile: where it is and what it shows.
  QString text = m_setup.name + ": " + Look(m_state).text;
  if (m_state == State::Running) text += ", " + m_pStep->text() + QString(", %1%").arg(m_pBar->value());
  if (!m_pDetail->text().isEmpty()) text += ", " + m_pDetail->text();
  if (!Unit().isEmpty()) text += ", unit " + Unit();
  setAccessibleName("Station tile " + m_setup.name);
  setAccessibleDescription(text);
  m_pResult->setAccessibleName("Result of " + m_setup.name);
  m_pResult->setAccessibleDescription(text);
  QAccessibleEvent changed(this, QAccessible::DescriptionChanged);
  QAccessible::updateAccessibility(&changed);
}
