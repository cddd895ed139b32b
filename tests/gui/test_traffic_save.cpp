// The traffic view's context menu: Copy and Select All are there, and "Save trace…" writes
// exactly the kept text, including what other threads appended, replacing an older file
// whole; a failed save says why and leaves nothing behind.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <thread>
#include <vector>

#include "app/TrafficLog.h"
#include "controls/UiMessageBox.h"

namespace {
QAction* FindAction(QMenu* menu, const QString& caption) {
  for (QAction* a : menu->actions())
    if (a->text().remove(QLatin1Char('&')).startsWith(caption)) return a;
  return nullptr;
}

QString ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("<unreadable>");
  return QString::fromUtf8(f.readAll());
}
}  // namespace

class TestTrafficSave : public QObject {
  Q_OBJECT
 private:
  std::vector<BoxRecord> m_boxes;
  QStringList m_asked;
  QString m_answer;

 private slots:
  void init() {
    m_boxes.clear();
    m_asked.clear();
    SetMessageBoxHook([this](const BoxRecord& box) { m_boxes.push_back(box); return IDOK; });
    CTrafficLog::SetSaveFileChooserHook([this](QWidget*, const QString& title, const QString& start) {
      m_asked << title << start;
      return m_answer;
    });
  }
  void cleanup() {
    SetMessageBoxHook({});
    CTrafficLog::SetSaveFileChooserHook({});
  }

  void menuSavesTheWholeTrace() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QPlainTextEdit view;
    CTrafficLog log(&view);
    view.show();

    std::unique_ptr<QMenu> empty(log.CreateContextMenu());
    QAction* emptySave = FindAction(empty.get(), QString::fromUtf8("Save trace\u2026"));
    QVERIFY(emptySave);
    QVERIFY(!emptySave->isEnabled());  // nothing to save yet

    log.Append("TX : 56 00 11 00\n");
    // A worker's lines still waiting for the next flush belong in the file too.
    std::thread worker([&log] {
      std::string burst = "Rx : ";
      for (int i = 0; i < 100; ++i) burst += "AB ";
      log.Append(burst + "\n");
    });
    worker.join();

    std::unique_ptr<QMenu> menu(log.CreateContextMenu());
    QVERIFY(FindAction(menu.get(), QStringLiteral("Copy")));
    QVERIFY(FindAction(menu.get(), QStringLiteral("Select All")));
    QAction* save = FindAction(menu.get(), QString::fromUtf8("Save trace\u2026"));
    QVERIFY(save);
    QVERIFY(save->isEnabled());

    // An older, longer file at the chosen path is replaced, not overwritten in part.
    m_answer = dir.filePath("trace.txt");
    {
      QFile old(m_answer);
      QVERIFY(old.open(QIODevice::WriteOnly));
      old.write(QByteArray(100000, 'x'));
    }
    save->trigger();
    QCOMPARE(m_asked.size(), 2);
    QVERIFY(m_asked[1].endsWith(QStringLiteral(".txt")));
    QVERIFY(m_boxes.empty());

    const QString saved = ReadAll(m_answer);
    QCOMPARE(saved.trimmed(), log.Text().trimmed());
    QVERIFY(saved.endsWith(QLatin1Char('\n')));
    QVERIFY(saved.startsWith(QStringLiteral("TX : 56 00 11 00\nRx : AB AB ")));
    QCOMPARE(saved.count(QStringLiteral("AB ")), 100);  // soft line breaks drop no bytes
    QVERIFY(!saved.contains(QStringLiteral("xxxx")));  // nothing left of the old file

    // Cancel in the file dialog writes nothing.
    m_answer.clear();
    QFile::remove(dir.filePath("trace.txt"));
    log.SaveTraceAs();
    QVERIFY(!QFile::exists(dir.filePath("trace.txt")));
    QVERIFY(m_boxes.empty());
  }

  void failedSaveIsReportedAndLeavesNoFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QPlainTextEdit view;
    CTrafficLog log(&view);
    log.Append("TX : 56 00 11 00\n");

    const QString missing = dir.filePath("no/such/folder/trace.txt");
    QString error;
    QVERIFY(!log.SaveTrace(missing, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(missing));

    m_answer = missing;
    log.SaveTraceAs();
    QCOMPARE(m_boxes.size(), size_t(1));
    QCOMPARE(m_boxes[0].icon, MsgIcon::Warning);
    QVERIFY(QString::fromStdString(m_boxes[0].text).contains(missing));
    QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  }
};

QTEST_MAIN(TestTrafficSave)
#include "test_traffic_save.moc"
