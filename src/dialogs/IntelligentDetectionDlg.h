#pragma once
// "Intelligent Detection": detection type (motion, person, vehicle), sensitivity, target
// threshold, distance, detection mode, power-on detection, target selection and the
// capture parameters. Modal; it reads the camera's settings when it opens and shows them
// when the camera's answer arrives.
#include <QDialog>

#include "dialogs/DialogExchange.h"

class CCameraProtocol;
struct DetectSettings;
class QCheckBox;
class QComboBox;
class QLineEdit;

// Variants that detect persons and vehicles offer all three types; the rest only motion.
bool DetectionOffersPersonAndVehicle(int modelVariant);

class CIntelligentDetectionDlg : public QDialog {
  Q_OBJECT

 public:
  CIntelligentDetectionDlg(CCameraProtocol* camera, QWidget* parent);

  // The camera's settings read at opening are on show (the type and mode rules applied).
  bool IsReadBackShown() const { return m_bReadBackShown; }

 private:
  struct Members {
    int powerOnDetect = 0;
    int type = 0;
    int sensitivity = 3;
    int mode = 0;
    int distance = 2;
    int thresholdIndex = 0;
    bool targetSelect = false;
    int photosIndex = 2;
    long long interval = 100;
    long long nextDetect = 100;
  };

  void WriteControls();
  void ShowRecord(const DetectSettings& record);
  void ApplyTypeRule();
  void ApplyModeRule();
  void ApplyTargetSelectRule();
  void OnSet();

  CCameraProtocol* m_pCamera;
  Members m_m;
  bool m_bReadBackShown = false;
  CEditedFields m_edited;  // since the read was sent
  QComboBox* m_pPowerOn;
  QComboBox* m_pType;
  QComboBox* m_pSensitivity;
  QComboBox* m_pMode;
  QComboBox* m_pDistance;
  QComboBox* m_pThreshold;
  QCheckBox* m_pTargetSelect;
  QComboBox* m_pPhotos;
  QLineEdit* m_pInterval;
  QLineEdit* m_pNextDetect;
};
