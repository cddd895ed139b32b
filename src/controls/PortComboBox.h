#pragma once
// The "Com Port" list: COM1..COM15, with the device each number maps to refreshed every
// time the list opens (an adapter may have been plugged in since).
#include <QComboBox>
#include <functional>

class CPortComboBox : public QComboBox {
 public:
  explicit CPortComboBox(QWidget* parent = nullptr) : QComboBox(parent) {}
  std::function<void()> m_onAboutToPopUp;

  void showPopup() override {
    if (m_onAboutToPopUp) m_onAboutToPopUp();
    QComboBox::showPopup();
  }
};
