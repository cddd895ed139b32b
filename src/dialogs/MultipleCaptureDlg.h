#pragma once
// "MultipleCapture": burst size and interval, a burst on demand ("Multiple capture test"),
// reading its pictures one at a time ("Read capture") and storing the burst as the camera's
// power-on capture. Modeless; the main window deletes it on close. Reply handling drives its two buttons
// through the main window (SetReadCaptureButton, SetTestButtonEnabled) on the newest one.
#include <QDialog>

class CCameraProtocol;
class QComboBox;
class QLineEdit;
class QPushButton;

class CMultipleCaptureDlg : public QDialog {
  Q_OBJECT

 public:
  CMultipleCaptureDlg(CCameraProtocol* camera, QWidget* parent);

  // "Read capture": enabled state and, when caption is not empty, its caption.
  void SetReadCaptureButton(bool enabled, const QString& caption);
  void SetTestButtonEnabled(bool enabled);

 private:
  bool ReadControls();  // false after a range message
  void OnPhotosChosen();
  void OnMultipleCaptureTest();
  void OnReadCapture();
  void OnPowerOnCapture();

  CCameraProtocol* m_pCamera;
  QComboBox* m_pPhotos;
  QLineEdit* m_pInterval;
  QPushButton* m_pTest;
  QPushButton* m_pRead;
  QPushButton* m_pPowerOn;
  int m_nPhotos = 3;
  long long m_nInterval = 500;
};
