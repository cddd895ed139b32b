// View > Focus Assist on the screens of benches and lines: a 1280x800 laptop, a 2560x1600
// one at 200 % and a desktop monitor. The window stays on the screen it is on, right-hand
// column included, and hiding the panel gives the operator the window back as it was.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include "controls/FocusPanel.h"
#include "ui/main_window_fixture.h"

namespace {

// The offscreen platform's screens; 192 dpi on a 96 dpi base is a scale of 200 %.
constexpr char kScreens[] = R"({"screens": [
  {"name": "laptop", "x": 0, "y": 0, "width": 1280, "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96},
  {"name": "hidpi", "x": 1280, "y": 0, "width": 2560, "height": 1600, "logicalDpi": 192, "logicalBaseDpi": 96},
  {"name": "desk", "x": 3840, "y": 0, "width": 1920, "height": 1080, "logicalDpi": 96, "logicalBaseDpi": 96}
]})";

QRect OnScreen(QWidget* w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); }

}  // namespace

class TestSmallScreen : public QObject, CMainWindowFixture {
  Q_OBJECT
 private slots:
  void init() { SetUpWindow(); }
  void cleanup() { TearDownWindow(); }

  void focusAssistKeepsTheWindowOnItsScreen() {
    const QList<QScreen*> screens = QGuiApplication::screens();
    QCOMPARE(screens.size(), 3);
    QCOMPARE(screens[1]->geometry().size(), QSize(1280, 800));  // 2560x1600 at 200 %
    QCOMPARE(screens[1]->devicePixelRatio(), 2.0);
    auto* action = m_dlg->findChild<QAction*>("focusAssistAction");
    QVERIFY(action);
    for (QScreen* screen : screens) {
      const QRect available = screen->availableGeometry();
      // At the screen's left edge and further in, where the window must move to make room.
      for (int inset : {0, 150}) {
        const QString where = screen->name() + QString(" +%1").arg(inset);
        m_dlg->hide();
        m_dlg->windowHandle()->setScreen(screen);
        m_dlg->move(available.topLeft() + QPoint(inset, 0));
        m_dlg->show();
        QTRY_COMPARE(m_dlg->screen(), screen);
        const QRect before = m_dlg->frameGeometry();

        action->setChecked(true);
        CFocusPanel* panel = m_dlg->FocusPanel();
        QVERIFY2(panel->isVisible(), qPrintable(where));
        QVERIFY2(available.contains(m_dlg->frameGeometry()), qPrintable(where));
        for (int id : {IDC_OPEN, IDC_CONTINUES_CAPTURE, IDC_SAVE, IDC_MULTI_CAPTURE, IDC_REGION_CROP})
          QVERIFY2(available.contains(OnScreen(W(id))), qPrintable(where + QString(" id%1").arg(id)));
        QVERIFY2(available.contains(OnScreen(panel)), qPrintable(where));
        QVERIFY(panel->width() >= CFocusPanel::kMinimumWidth);
        // A desktop screen has room for the panel at its preferred width, where it was.
        if (screen->name() == "desk") {
          QCOMPARE(panel->width(), CFocusPanel::kPreferredWidth);
          QCOMPARE(m_dlg->frameGeometry().topLeft(), before.topLeft());
        }

        action->setChecked(false);
        QVERIFY(!panel->isVisible());
        QCOMPARE(m_dlg->frameGeometry(), before);
      }
    }
  }
};

int main(int argc, char** argv) {
  QTemporaryDir dir;
  const QString config = dir.filePath("screens.json");
  QFile file(config);
  if (!file.open(QIODevice::WriteOnly) || file.write(kScreens) < 0) return 2;
  file.close();
  qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).toLocal8Bit());
  QApplication app(argc, argv);
  TestSmallScreen test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_small_screen.moc"
