#pragma once
// "MotionDetection": pictures per detection, the interval between them and the pause before
// the next detection, for cameras that detect motion only. Modal; it shows the engine's
// detection record (shared with the Intelligent Detection dialog) and never asks the camera.
#include <QDialog>

class CCameraProtocol;
class QComboBox;
class QLineEdit;

class CMotionDetectionDlg : public QDialog {
  Q_OBJECT

 public:
  CMotionDetectionDlg(CCameraProtocol* camera, QWidget* parent);

 private:
  void OnSetting();

  CCameraProtocol* m_pCamera;
  QComboBox* m_pPhotos;
  QLineEdit* m_pInterval;
  QLineEdit* m_pNextDetect;
  int m_nPhotosIndex = 2;
  long long m_nInterval = 100;
  long long m_nNextDetect = 10;
};
