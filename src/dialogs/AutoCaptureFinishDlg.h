#pragma once
// "Auto Capture finish": shown when the camera reports pictures it took by itself at
// power-on. Its one button fetches them one by one; the dialog closes itself once the last
// one has been requested (that transfer goes on without it). Modeless, deletes itself.
#include <QDialog>

class CCameraProtocol;
class QPushButton;

class CAutoCaptureFinishDlg : public QDialog {
  Q_OBJECT

 public:
  CAutoCaptureFinishDlg(CCameraProtocol* camera, int count, QWidget* parent);

  int Count() const { return m_nCount; }
  int RequestedSoFar() const { return m_nRequested; }

 private:
  void OnRead();

  CCameraProtocol* m_pCamera;
  QPushButton* m_pRead;
  int m_nCount;
  int m_nRequested = 0;
};
