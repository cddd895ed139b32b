#include "dialogs/DialogExchange.h"

#include <QComboBox>
#include <QLineEdit>
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
  if (!m_bFailed) {
    if (!ReadIntInRange(m_pParent, edit, minimum, maximum, value)) Fail(edit);
  } else {
    ParseInt(edit->text(), value);
  }
  return FitsField(value, fieldMax) ? value : current;
}

long long CRangeReader::ReadAny(QLineEdit* edit, long long current, long long fieldMax) {
  long long value = current;
  if (m_bFailed) {
    ParseInt(edit->text(), value);
  } else if (!ReadInt(m_pParent, edit, value)) {
    Fail(edit);
  } else if (!FitsField(value, fieldMax)) {
    // Not the camera's range to judge: the frame cannot carry it.
    ReadIntInRange(m_pParent, edit, 0, fieldMax, value);
    Fail(edit);
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
constexpr int kReadBackMs = 200;
constexpr int kReadBackTries = 25;  // 5 s in all

void ReadBackTick(QObject* context, CCameraProtocol* camera, int code,
                  std::function<void()> show, int tries) {
  QTimer::singleShot(kReadBackMs, context, [=] {
    if (AwaitingReply(*camera, code) && tries + 1 < kReadBackTries)
      ReadBackTick(context, camera, code, show, tries + 1);
    else
      show();
  });
}
}  // namespace

void AfterReadBack(QObject* context, CCameraProtocol* camera, int code, std::function<void()> show) {
  ReadBackTick(context, camera, code, std::move(show), 0);
}
