#pragma once
// "Region Cropping": reads and writes the camera's crop window. Modeless; several may be
// open and they share the engine's crop record. The dialog checks only the alignment of
// x and y; the camera judges the rest and its statuses are reported by reply handling.
#include <QDialog>

#include "dialogs/DialogExchange.h"

class CCameraProtocol;
struct CropSettings;
class QComboBox;
class QLabel;
class QLineEdit;

class CRegionCropDlg : public QDialog {
  Q_OBJECT

 public:
  CRegionCropDlg(CCameraProtocol* camera, QWidget* parent);

 private:
  void StartRead();
  void ShowRecord(const CropSettings& record);
  void EnableEdits(bool enable);
  void OnWrite();

  CCameraProtocol* m_pCamera;
  QLabel* m_pSize;
  QComboBox* m_pSwitch;
  QLineEdit* m_pX;
  QLineEdit* m_pY;
  QLineEdit* m_pWidth;
  QLineEdit* m_pHeight;
  // Members as the operator last saw them (constructor defaults until a read shows the record).
  long long m_nX = 0, m_nY = 0, m_nWidth = 0, m_nHeight = 0;
  CEditedFields m_edited;  // since the last read was sent
};
