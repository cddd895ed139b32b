#include "dialogs/DialogExchange.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <algorithm>

#include "controls/UiMessageBox.h"
#include "protocol/CameraProtocol.h"

bool ParseInt(const QString& text, long long& value) {
  bool ok = false;
  const long long v = text.trimmed().toLongLong(&ok);
  if (ok) value = v;
  return ok;
}

long long CRangeReader::Read(QLineEdit* edit, long long minimum, long long maximum,
                             long long current, long long fieldMax) {
  long long value = current;
  if (!edit->isEnabled()) {
    ParseInt(edit->text(), value);
  } else if (!m_bFailed) {
    if (!ReadIntInRange(m_pParent, edit, minimum, maximum, value)) Fail(edit);
  } else {
    ParseInt(edit->text(), value);
  }
  return FitsField(value, fieldMax) ? value : current;
}

void CRangeReader::Fail(QLineEdit* edit) {
  m_bFailed = true;
  if (!m_pFirstBad) m_pFirstBad = edit;
}

bool CRangeReader::Refused() {
  if (!m_bFailed) return false;
  if (m_pFirstBad) m_pFirstBad->setFocus();
  return true;
}

int SelectedIndex(const QComboBox* combo, int fallback) {
  const int index = combo->currentIndex();
  return index < 0 ? fallback : index;
}

void SelectIndex(QComboBox* combo, int index) {
  combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

bool AwaitingReply(CCameraProtocol& camera, int code) {
  const std::vector<int> queued = camera.QueuedCommands();
  if (code == 0) return !queued.empty();
  return std::find(queued.begin(), queued.end(), code) != queued.end();
}

namespace {
QVariant FieldValue(const QWidget* field) {
  if (auto* edit = qobject_cast<const QLineEdit*>(field)) return edit->text();
  if (auto* combo = qobject_cast<const QComboBox*>(field)) return combo->currentIndex();
  if (auto* box = qobject_cast<const QAbstractButton*>(field)) return box->isChecked();
  return {};
}

void SetFieldValue(QWidget* field, const QVariant& value) {
  if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->setText(value.toString());
  else if (auto* combo = qobject_cast<QComboBox*>(field)) combo->setCurrentIndex(value.toInt());
  else if (auto* box = qobject_cast<QAbstractButton*>(field)) box->setChecked(value.toBool());
}
}  // namespace

void CEditedFields::Take(std::initializer_list<QWidget*> fields) {
  m_taken.clear();
  for (QWidget* field : fields) m_taken.emplace_back(field, FieldValue(field));
}

void CEditedFields::FillUnchanged(const std::function<void()>& fill) {
  std::vector<std::pair<QWidget*, QVariant>> edited;
  for (const auto& [field, taken] : m_taken)
    if (FieldValue(field) != taken) edited.emplace_back(field, FieldValue(field));
  fill();
  for (const auto& [field, value] : edited) SetFieldValue(field, value);
}

namespace {
struct PortFollower {
  QPointer<QWidget> controls;
  const CCameraProtocol* camera;
};
std::vector<PortFollower>& Followers() {
  static std::vector<PortFollower> followers;
  return followers;
}
}  // namespace

void FollowPort(QWidget* controls, const CCameraProtocol* camera) {
  if (!camera) return;
  auto& followers = Followers();
  std::erase_if(followers, [](const PortFollower& f) { return f.controls.isNull(); });
  followers.push_back({controls, camera});
  controls->setEnabled(camera->IsPortOpen());
}

void PortStateChanged(const CCameraProtocol* camera) {
  auto& followers = Followers();
  std::erase_if(followers, [](const PortFollower& f) { return f.controls.isNull(); });
  const bool open = camera->IsPortOpen();
  for (const PortFollower& f : followers)
    if (f.camera == camera) f.controls->setEnabled(open);
}

namespace {
constexpr int kReadBackGiveUpMs = 5000;

// One read-back awaited: the results for its code still to come before its own. A child of
// the dialog, so it goes with it. GUI thread only.
class CReadBackWait : public QObject {
 public:
  CReadBackWait(QObject* context, const CCameraProtocol* camera, int code, size_t results,
                std::function<void(const CommandResult*)> show)
      : QObject(context), m_pCamera(camera), m_code(code), m_remaining(results),
        m_show(std::move(show)) {
    Waits().push_back(this);
    // Nothing outstanding (the read is answered already): show what the engine holds.
    QTimer::singleShot(results ? kReadBackGiveUpMs : 0, this, [this] { Finish(nullptr); });
  }
  ~CReadBackWait() override { Unlist(); }

  static std::vector<CReadBackWait*>& Waits() {
    static std::vector<CReadBackWait*> waits;
    return waits;
  }

  void Take(const CCameraProtocol* camera, const CommandResult& result) {
    if (camera != m_pCamera || result.code != m_code || m_remaining == 0) return;
    if (--m_remaining == 0) Finish(&result);
  }

 private:
  void Unlist() {
    auto& waits = Waits();
    waits.erase(std::remove(waits.begin(), waits.end(), this), waits.end());
  }
  void Finish(const CommandResult* result) {
    if (!m_show) return;
    Unlist();
    // Showing may close the dialog, and this with it: nothing of this is used after.
    const auto show = std::move(m_show);
    m_show = nullptr;
    deleteLater();
    show(result);
  }

  const CCameraProtocol* m_pCamera;
  int m_code;
  size_t m_remaining;
  std::function<void(const CommandResult*)> m_show;
};
}  // namespace

void AfterReadBack(QObject* context, CCameraProtocol* camera, int code,
                   std::function<void(const CommandResult*)> show) {
  // The read was queued just before: its result is the last of those queued for code.
  const std::vector<int> queued = camera->QueuedCommands();
  new CReadBackWait(context, camera, code, std::count(queued.begin(), queued.end(), code),
                    std::move(show));
}

void ReadBackFinished(const CCameraProtocol* camera, const CommandResult& result) {
  std::vector<QPointer<CReadBackWait>> waits;
  for (CReadBackWait* wait : CReadBackWait::Waits()) waits.emplace_back(wait);
  for (const QPointer<CReadBackWait>& wait : waits)
    if (wait) wait->Take(camera, result);
}
