#pragma once
// "Image Control": the camera's day and night image tuning side by side. Modeless and
// deletes itself on close; the main window keeps one open at a time and forwards the
// values of each image-parameter read or reset reply to UpdateImageParams.
#include <QDialog>
#include <array>

#include "protocol/FeatureRecords.h"

class CCameraProtocol;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QSlider;

// One set of values as the dialog edits it.
struct ImageModeSettings {
  int mode = 0;  // the mode byte as last received
  int brightness = 128;
  int contrast = 128;
  int sharpness = 128;
  int saturation = 128;
  int hue = 128;
  int autoWhiteBalance = 1;
  int whiteBalance = 341;
  int hlc = 4;
  int exposure = 0;
};

// The record Save Configure sends for one set (mode 0 day, 1 night).
ImageParams ImageParamsFromSettings(const ImageModeSettings& set, int mode);

class CImageControlDlg : public QDialog {
  Q_OBJECT
 public:
  CImageControlDlg(CCameraProtocol* camera, QWidget* parent);

  static constexpr int kDay = 0;
  static constexpr int kNight = 1;
  static constexpr int kRowCount = 8;
  const ImageModeSettings& Settings(int set) const { return m_modes[set]; }

 public:
  // Shows the set named by bit 0 of the mode byte of one read or reset reply's values.
  void UpdateImageParams(const ImageParams& p);

 private:
  struct RowControls {
    QSlider* slider[2] = {};
    QLineEdit* edit[2] = {};
  };

  void BuildControls();
  void MoveValuesToEdits();
  void MoveSetToSliders(int set);
  void ApplyAutoWhiteBalance();
  void OnSliderMoved(int row, int set, int value);
  void OnEditChanged(int row, int set);
  void OnAutoClicked();
  void OnSaveConfigure();
  void OnResetDefault();
  bool ReadControls();
  QObject* SecondStepContext();

  CCameraProtocol* m_pCamera;
  std::array<ImageModeSettings, 2> m_modes;
  std::array<RowControls, kRowCount> m_rows;
  QCheckBox* m_pAuto[2] = {};
  bool m_bNightReadPending = false;
  bool m_bUpdating = false;  // the dialog is writing its own controls
};
