#pragma once
// Small helpers shared by the feature dialogs: reading edits and lists into plain values the
// way the dialogs' data exchange does.
#include <QString>
#include <QVariant>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include "controls/ControlName.h"
#include "protocol/CommandResult.h"

class CCameraProtocol;
class QComboBox;
class QLineEdit;
class QObject;
class QWidget;

// Largest values the frames' one- and two-byte fields carry.
constexpr long long kFieldU8 = 0xFF;
constexpr long long kFieldU16 = 0xFFFF;
// True when value can travel in a field whose largest value is fieldMax.
constexpr bool FitsField(long long value, long long fieldMax) {
  return value >= 0 && value <= fieldMax;
}

// Reads the integer edits of one exchange. The first field that is not an integer within
// its bounds shows the standard range message; the exchange goes on reading the remaining
// fields without further boxes, so one bad field costs the operator one box, not several.
// After a message the caller sends nothing (Refused): the bad field keeps its text and
// takes the focus, so what goes out is always what the operator sees.
// A well-formed out-of-range integer that its frame field can carry is taken as read (the
// handlers send what was read). Anything else (text that is not an integer, a negative
// number, a number wider than the field) keeps the current value: a value cut down to the
// field's low bits would set the camera to something the operator never typed.
// A disabled field (greyed out by the dialog's own rules) is not the operator's to put
// right: it is taken as it stands, without a range message.
class CRangeReader {
 public:
  explicit CRangeReader(QWidget* parent) : m_pParent(parent) {}
  long long Read(QLineEdit* edit, long long minimum, long long maximum, long long current,
                 long long fieldMax);
  bool Failed() const { return m_bFailed; }
  // True after a range message; the first bad field then has the focus.
  bool Refused();

 private:
  void Fail(QLineEdit* edit);

  QWidget* m_pParent;
  bool m_bFailed = false;
  QLineEdit* m_pFirstBad = nullptr;
};

// Parses an edit's integer without any message; false when the text is not an integer.
bool ParseInt(const QString& text, long long& value);

// A list's selected index, or fallback when nothing is selected.
int SelectedIndex(const QComboBox* combo, int fallback);
// Selects index, or nothing when the list has no such entry (a value the camera reported
// that the list cannot show is kept by the caller, not replaced by a neighbour).
void SelectIndex(QComboBox* combo, int index);

// Whether the engine still waits for a reply: to code, or to any command when code is 0.
bool AwaitingReply(CCameraProtocol& camera, int code = 0);

// A dialog's camera controls follow the port as the main window's do: `controls` is
// disabled while camera's port is closed. Give it a widget that holds the controls, so the
// dialog's own enable rules still hold inside it.
void FollowPort(QWidget* controls, const CCameraProtocol* camera);
// The front end calls this on the GUI thread after each Open and Close of camera's port.
void PortStateChanged(const CCameraProtocol* camera);

// The fields a read-back may fill: those the operator has not changed since the read was
// sent. Take when the read goes out; a late answer then leaves what was typed meanwhile.
class CEditedFields {
 public:
  void Take(std::initializer_list<QWidget*> fields);
  // Runs fill, which writes the read-back into the fields, then puts back every field the
  // operator changed since Take.
  void FillUnchanged(const std::function<void()>& fill);

 private:
  std::vector<std::pair<QWidget*, QVariant>> m_taken;
};

// Shows a dialog's read-back when the result of its read (the `code` just issued) arrives,
// with that result; a camera that never answers gets its record shown after 5 s, with
// nullptr. Ends with context.
void AfterReadBack(QObject* context, CCameraProtocol* camera, int code,
                   std::function<void(const CommandResult*)> show);
// The front end hands each result of camera here, on the GUI thread.
void ReadBackFinished(const CCameraProtocol* camera, const CommandResult& result);
// The values a read-back shows: what its result carried, else what the engine holds.
template <typename T>
T ReadBackValues(const CommandResult* result, const T& held) {
  const T* carried = result ? result->Data<T>() : nullptr;
  return carried ? *carried : held;
}
