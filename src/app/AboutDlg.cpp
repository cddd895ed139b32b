#include "app/AboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

#include "common/Version.h"
#include "core/ControlStates.h"
#include "controls/ControlName.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About Brevant");
  setObjectName(ControlName(IDD_ABOUT));
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon(":/brevant/brevant.svg").pixmap(48, 48));
  auto* text = new QLabel("Brevant " BREVANT_VERSION, this);
  text->setObjectName("aboutText");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->setObjectName("aboutButtons");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* row = new QHBoxLayout;
  row->addWidget(icon);
  row->addSpacing(12);
  row->addWidget(text, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);
  setFixedSize(sizeHint());
}
