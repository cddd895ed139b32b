// Keyboard and screen-reader access: labels name the controls beside them, the tab chain
// reads the window's layout, and the main window's Alt shortcuts press their buttons,
// with none of the visible captions changed.
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>

#include "app/KeyboardAccess.h"
#include "app/MainDlg.h"
#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "core/ControlStates.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "dialogs/OsdCharDlg.h"
#include "dialogs/RegionCropDlg.h"
#include "test_dlg_harness.h"

namespace {
// What a screen reader is told: a name given on purpose, else what Qt derives now.
QString AccName(QWidget* w) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  return a ? a->text(QAccessible::Name) : QString();
}

// The tab chain from `from` (disabled controls included: they take their place once enabled).
// Visible buttons, lists and fields of `window` that a screen reader could not name.
QStringList Unnamed(QWidget* window) {
  QStringList unnamed;
  for (QWidget* c : window->findChildren<QWidget*>()) {
    const bool control = qobject_cast<QAbstractButton*>(c) || qobject_cast<QComboBox*>(c) ||
                         qobject_cast<QLineEdit*>(c);
    // A combo box's own line edit is announced through the combo box.
    if (control && c->isVisibleTo(window) && !qobject_cast<QComboBox*>(c->parentWidget()) &&
        AccName(c).isEmpty())
      unnamed << c->objectName() + "/" + c->metaObject()->className();
  }
  return unnamed;
}

QList<QWidget*> TabChain(QWidget* from, int count) {
  QList<QWidget*> chain{from};
  for (QWidget* w = from->nextInFocusChain(); w && w != from && chain.size() < count;
       w = w->nextInFocusChain())
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(from->window()))
      chain << w;
  return chain;
}
}  // namespace

class TestKeyboardAccess : public QObject {
  Q_OBJECT
 private slots:
  void init() { SetMessageBoxHook([](const BoxRecord&) { return IDOK; }); }
  void cleanup() { SetMessageBoxHook({}); }

  void plainCaptions() {
    QCOMPARE(PlainCaption("&Open"), QString("Open"));
    QCOMPARE(PlainCaption("Fill Light:"), QString("Fill Light"));
    QCOMPARE(PlainCaption("Salt && Pepper"), QString("Salt & Pepper"));
    QCOMPARE(PlainCaption(QString::fromUtf8("临时速率：")), QString::fromUtf8("临时速率"));
  }

  // Rows built in a scrambled order still read row by row; a unit label after a field
  // does not name the next row; a label before a nested cell names the field inside it.
  void layoutsGiveNamesAndOrder() {
    QDialog window;
    auto* grid = new QGridLayout(&window);
    auto* delay = new QLineEdit;
    auto* name = new QLineEdit;
    auto* kind = new QComboBox;
    auto* set = new QPushButton("Set");
    auto* flag = new QCheckBox("&Verbose");
    auto* cell = new QHBoxLayout;
    cell->addWidget(delay);
    cell->addWidget(new QLabel("(ms)"));
    grid->addWidget(new QLabel("Kind:"), 1, 0);
    grid->addWidget(kind, 1, 1);
    grid->addWidget(set, 1, 2);
    grid->addWidget(new QLabel("Name"), 0, 0);
    grid->addWidget(name, 0, 1);
    grid->addWidget(new QLabel("Delay:"), 2, 0);
    grid->addLayout(cell, 2, 1);
    grid->addWidget(flag, 3, 1);
    ApplyKeyboardAccess(&window);

    QCOMPARE(name->accessibleName(), QString("Name"));
    QCOMPARE(kind->accessibleName(), QString("Kind"));
    QCOMPARE(delay->accessibleName(), QString("Delay"));
    QCOMPARE(AccName(set), QString("Set"));
    QCOMPARE(set->accessibleDescription(), QString("Kind"));
    QCOMPARE(AccName(flag), QString("Verbose"));
    QCOMPARE(flag->text(), QString("&Verbose"));  // captions stay as they were
    QCOMPARE(TabChain(name, 5), (QList<QWidget*>{name, kind, set, delay, flag}));

    // A name given on purpose is kept when the walk runs again.
    name->setAccessibleName("User name");
    ApplyKeyboardAccess(&window);
    QCOMPARE(name->accessibleName(), QString("User name"));
  }

  // Captions that change at run time are read out as they are now, not as first shown.
  void namesFollowCaptionsAsTheyChange() {
    CMainDlg dlg;
    ApplyKeyboardAccess(&dlg);
    dlg.show();
    auto* mode = FindControl<QPushButton>(&dlg, IDC_COMMAND_MODE);
    auto* read = FindControl<QPushButton>(&dlg, IDC_READ);
    QCOMPARE(AccName(mode), QString("Command Mode"));
    mode->click();
    QCOMPARE(mode->text(), QString("Image Mode"));
    read->setText("Read1/2");  // as a detection read sets it
    CMultipleCaptureDlg burst(nullptr, nullptr);
    ApplyKeyboardAccess(&burst);
    burst.SetReadCaptureButton(true, "Next1/3");
    CRegionCropDlg crop(nullptr, nullptr);
    ApplyKeyboardAccess(&crop);
    auto* size = FindControl<QLabel>(&crop, 1116);
    size->setText("1920x1080");
    QCOMPARE(AccName(mode), QString("Image Mode"));
    QCOMPARE(AccName(read), QString("Read1/2"));
    QCOMPARE(AccName(FindControl<QPushButton>(&burst, 1116)), QString("Next1/3"));
    QCOMPARE(AccName(size), QString("1920x1080"));
    QCOMPARE(size->accessibleDescription(), QString("Current size"));
    for (QWidget* window : {static_cast<QWidget*>(&dlg), static_cast<QWidget*>(&burst)})
      for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (!b->text().isEmpty())
          QVERIFY2(AccName(b) == PlainCaption(b->text()), qPrintable(b->objectName()));
  }

  void mainWindowIsNamedAndReadsTopDown() {
    CMainDlg dlg;
    ApplyKeyboardAccess(&dlg);
    auto w = [&](int id) { return FindControl<QWidget>(&dlg, id); };
    QCOMPARE(w(IDC_PORT)->accessibleName(), QString("Com Port"));
    QCOMPARE(w(IDC_BAUD)->accessibleName(), QString("Baud Rate"));
    QCOMPARE(w(IDC_IMAGE_SIZE)->accessibleName(), QString("Image Size"));
    QCOMPARE(w(IDC_CONTINUE_DELAY)->accessibleName(), QString("Continue Delay"));
    QCOMPARE(w(IDC_VERSION)->accessibleName(), QString("Version"));
    QCOMPARE(AccName(w(IDC_SINGLE_CAPTURE)), QString("Single Capture"));
    QCOMPARE(w(IDC_DETECT_OPEN)->accessibleDescription(), QString("Detection Function"));

    // Every button, list and field a user can reach has a name to be read out.
    QCOMPARE(Unnamed(&dlg), QStringList());

    dlg.show();
    const QList<QWidget*> chain = TabChain(w(IDC_PORT), 40);
    auto at = [&](int id) { return chain.indexOf(w(id)); };
    QVERIFY(at(IDC_BAUD) > at(IDC_PORT));
    QVERIFY(at(IDC_OPEN) > at(IDC_BAUD));
    QVERIFY(at(IDC_IMAGE_TYPE) > at(IDC_OPEN));
    QVERIFY(at(IDC_PATH) > at(IDC_IMAGE_SIZE));
    QVERIFY(at(IDC_SINGLE_CAPTURE) > at(IDC_PATH));
  }

  void featureDialogsAreNamed() {
    CCamFixture f;
    QVERIFY(f.Open());
    std::vector<std::unique_ptr<QDialog>> dialogs;
    dialogs.emplace_back(new CRegionCropDlg(f.camera.get(), nullptr));
    dialogs.emplace_back(new COsdCharDlg(f.camera.get(), nullptr));
    dialogs.emplace_back(new CMotionDetectionDlg(f.camera.get(), nullptr));
    dialogs.emplace_back(new CIntelligentDetectionDlg(f.camera.get(), nullptr));
    dialogs.emplace_back(new CMultipleCaptureDlg(f.camera.get(), nullptr));
    dialogs.emplace_back(new CImageControlDlg(f.camera.get(), nullptr));
    for (const auto& dlg : dialogs) {
      ApplyKeyboardAccess(dlg.get());
      QVERIFY2(Unnamed(dlg.get()).isEmpty(),
               qPrintable(dlg->windowTitle() + ": " + Unnamed(dlg.get()).join(", ")));
    }
  }

  void altShortcutsPressTheButtons() {
    auto filterOwner = std::make_unique<QObject>();
    InstallKeyboardAccess(filterOwner.get());
    CMainDlg dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    auto* mode = FindControl<QPushButton>(&dlg, IDC_COMMAND_MODE);
    QCOMPARE(mode->text(), QString("Command Mode"));
    QVERIFY(mode->toolTip().contains(QKeySequence("Alt+M").toString(QKeySequence::NativeText)));
    QTest::keyClick(&dlg, Qt::Key_M, Qt::AltModifier);
    QCOMPARE(mode->text(), QString("Image Mode"));
    QTest::keyClick(&dlg, Qt::Key_M, Qt::AltModifier);
    QCOMPARE(mode->text(), QString("Command Mode"));
  }
};

QTEST_MAIN(TestKeyboardAccess)
#include "test_keyboard_access.moc"
