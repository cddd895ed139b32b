// The traffic view's context menu: Copy and Select All are there, and "Save trace…" writes
// exactly the kept lines, including what other threads appended, replacing an older file
// whole; a failed save says why and leaves nothing behind. Selection and copy hold across
// the ring's wrap and across the ring dropping the selected lines.
#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QtTest>
#include <memory>
#include <thread>
#include <vector>

#include "common/Pcapng.h"
#include "controls/TrafficView.h"
#include "controls/UiMessageBox.h"
#include "test_support.h"

namespace {
QAction* FindAction(QMenu* menu, const QString& caption) {
  for (QAction* a : menu->actions())
    if (a->text().remove(QLatin1Char('&')).startsWith(caption)) return a;
  return nullptr;
}

QByteArray ReadAll(const QString& path) {
  return QByteArray::fromStdString(testsupport::ReadText(path.toStdString()));
}

void Send(CTrafficView& view, std::vector<uint8_t> frame) {
  view.Model().Append(true, frame.data(), frame.size());
}
void Receive(CTrafficView& view, std::vector<uint8_t> bytes) {
  view.Model().Append(false, bytes.data(), bytes.size());
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
    CTrafficView::SetSaveFileChooserHook([this](QWidget*, const QString& title, const QString& start) {
      m_asked << title << start;
      return m_answer;
    });
  }
  void cleanup() {
    SetMessageBoxHook({});
    CTrafficView::SetSaveFileChooserHook({});
    CTrafficView::SetDefaultLimit(CTraceModel::kDefaultLimitBytes);
  }

  void menuSavesTheWholeTrace() {
    const testsupport::TempFolder dir("brevant-trace");
    QVERIFY(!dir.Path().empty());
    CTrafficView view;
    view.show();

    std::unique_ptr<QMenu> empty(view.CreateContextMenu());
    QAction* emptySave = FindAction(empty.get(), QString::fromUtf8("Save trace\u2026"));
    QVERIFY(emptySave);
    QVERIFY(!emptySave->isEnabled());  // nothing to save yet

    Send(view, {0x56, 0x00, 0x11, 0x00});
    // What a worker appended and the view has not painted yet belongs in the file too.
    std::thread worker([&view] { Receive(view, std::vector<uint8_t>(100, 0xAB)); });
    worker.join();

    std::unique_ptr<QMenu> menu(view.CreateContextMenu());
    QVERIFY(FindAction(menu.get(), QStringLiteral("Copy")));
    QVERIFY(FindAction(menu.get(), QStringLiteral("Select All")));
    QAction* save = FindAction(menu.get(), QString::fromUtf8("Save trace\u2026"));
    QVERIFY(save);
    QVERIFY(save->isEnabled());

    // An older, longer file at the chosen path is replaced, not overwritten in part.
    m_answer = QString::fromStdString(dir.File("trace.txt"));
    {
      QFile old(m_answer);
      QVERIFY(old.open(QIODevice::WriteOnly));
      old.write(QByteArray(100000, 'x'));
    }
    save->trigger();
    QCOMPARE(m_asked.size(), 2);
    QVERIFY(m_asked[1].endsWith(QStringLiteral(".txt")));
    QVERIFY(m_boxes.empty());

    // Byte for byte the lines the text trace always had: 31 bytes beside "Rx :", then 32.
    QByteArray expected = "\n\nTX :56 00 11 00 \nRx :";
    for (int i = 0; i < 100; ++i) expected += (i == 31 || i == 63 || i == 95) ? "\nAB " : "AB ";
    expected += "\n";
    QCOMPARE(ReadAll(m_answer), expected);
    QCOMPARE(view.Text() + "\n", QString::fromLatin1(expected));
    // A screen reader reads the lines on screen.
    view.Refresh();
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(reader && reader->state().readOnly);
    QVERIFY(reader->text(QAccessible::Value).contains("TX :56 00 11 00 \nRx :AB AB "));

    // The ASCII column and time stamps, once switched on, are saved as shown.
    std::unique_ptr<QMenu> options(view.CreateContextMenu());
    options->findChild<QAction*>("traceAsciiAction")->trigger();
    options->findChild<QAction*>("traceTimeAction")->trigger();
    QVERIFY(view.Format().ascii && view.Format().timestamps);
    save->trigger();
    const QList<QByteArray> lines = ReadAll(m_answer).split('\n');
    QVERIFY(lines[2].contains(" TX :56 00 11 00 "));
    QVERIFY(lines[2].endsWith(" V..."));
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d Rx :AB ")
                .match(QString::fromLatin1(lines[3])).hasMatch());
    QVERIFY(lines[4].startsWith("             AB AB "));  // continuation: no stamp

    // The decoded column, off until asked for, is saved as shown too.
    QVERIFY(!view.Format().decoded);
    options->findChild<QAction*>("traceDecodedAction")->trigger();
    QVERIFY(view.Format().decoded);
    save->trigger();
    const QByteArray tx = ReadAll(m_answer).split('\n')[2];
    QVERIFY(tx.contains(" V... ") && tx.endsWith("  get version"));

    // Cancel in the file dialog writes nothing.
    m_answer.clear();
    QFile::remove(QString::fromStdString(dir.File("trace.txt")));
    view.SaveTraceAs();
    QVERIFY(!QFile::exists(QString::fromStdString(dir.File("trace.txt"))));
    QVERIFY(m_boxes.empty());
  }

  // Saved as a capture: one packet per frame, a reply split over reads joined, each with its
  // own arrival; the deltas column times each frame from the bytes before and the request.
  void savesACaptureAndShowsTimeDeltas() {
    const testsupport::TempFolder dir("brevant-trace");
    CTrafficView view;
    const std::vector<uint8_t> request{0x56, 0, 0x11, 0}, reply{0x76, 0, 0x11, 0, 2, 'V', '1'},
        report{0x76, 0, 0x39, 0, 1};
    view.Model().Append(true, request.data(), request.size(), 1000);
    view.Model().Append(false, reply.data(), 3, 1002);
    view.Model().Append(false, reply.data() + 3, 4, 1005);
    view.Model().Append(false, report.data(), report.size(), 1010);
    m_answer = QString::fromStdString(dir.File("trace.pcapng"));
    view.SaveTraceAs();
    QVERIFY(m_boxes.empty());
    std::vector<pcapng::Frame> frames;
    std::string error;
    QVERIFY2(pcapng::ReadFile(m_answer.toStdString(), frames, error), error.c_str());
    QCOMPARE(frames.size(), size_t(3));
    QVERIFY(frames[0].direction == pcapng::Direction::ToCamera && frames[0].bytes == request);
    QVERIFY(frames[1].direction == pcapng::Direction::FromCamera && frames[1].bytes == reply);
    QVERIFY(frames[2].bytes == report);
    QCOMPARE(frames[0].timeUs, int64_t(1000000));
    QCOMPARE(frames[1].timeUs, int64_t(1002000));
    QCOMPARE(frames[2].timeUs, int64_t(1010000));

    std::unique_ptr<QMenu> menu(view.CreateContextMenu());
    menu->findChild<QAction*>("traceDeltasAction")->trigger();
    QVERIFY(view.Format().deltas);
    const QStringList lines = view.Text().split(QLatin1Char('\n'));
    QVERIFY(lines[2].startsWith(QString(28, QLatin1Char(' ')) + "TX :56 00 11 00 "));
    QCOMPARE(lines[3].left(32), QStringLiteral("    +2.000 ms      2.000 ms Rx :"));

    // A file that cannot be made is said, and nothing is left behind.
    m_answer = QString::fromStdString(dir.File("no/such/trace.pcapng"));
    view.SaveTraceAs();
    QCOMPARE(m_boxes.size(), size_t(1));
  }

  // A picture block reads as one line, its ends and its count, on screen and to a screen
  // reader; "Show Full Hex" shows every byte, and a saved trace has every byte either way.
  void showFullHexAndSaveKeepPictureBlocksWhole() {
    const testsupport::TempFolder dir("brevant-trace");
    CTrafficView view;
    view.resize(900, 400);
    view.show();
    Send(view, {0x56, 0, 0x32, 0x0C, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0xFF});
    std::vector<uint8_t> block{0x76, 0, 0x32, 0, 0};
    for (int i = 0; i < 512; ++i) block.push_back(static_cast<uint8_t>(i));
    block.insert(block.end(), {0x76, 0, 0x32, 0, 0});
    Receive(view, block);
    Send(view, {0x56, 0x00, 0x11, 0x00});
    view.Refresh();
    QVERIFY(!view.Format().ascii);
    const QString shortened = view.Text();
    QCOMPARE(shortened.count(QLatin1Char('\n')), 6);  // two requests, each on three lines
    QVERIFY(shortened.contains("Rx :76 00 32 00 00 00 01 02 <506 bytes> "
                               "FD FE FF 76 00 32 00 00 \n"));
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(reader && reader->text(QAccessible::Value).contains("<506 bytes>"));
    // At the window's width the block's name is on screen beside it, without scrolling
    // sideways.
    view.resize(640, 400);
    TraceFormat decoded = view.Format();
    decoded.decoded = true;
    view.SetFormat(decoded);
    view.Refresh();
    const QString line = view.Text().section('\n', 3, 3);
    QVERIFY(line.endsWith("76 00 32 00 00   picture data, block 1, 512 bytes"));
    QCOMPARE(view.horizontalScrollBar()->value(), 0);
    QVERIFY(view.fontMetrics().horizontalAdvance(line.left(line.indexOf("block 1"))) <
            view.viewport()->width());
    decoded.decoded = false;
    view.SetFormat(decoded);

    m_answer = QString::fromStdString(dir.File("trace.txt"));
    view.SaveTraceAs();
    std::unique_ptr<QMenu> menu(view.CreateContextMenu());
    QAction* full = menu->findChild<QAction*>("traceFullHexAction");
    QVERIFY(full && full->isCheckable() && !full->isChecked());
    full->trigger();
    QVERIFY(!view.Format().shortBlocks);
    const QString whole = view.Text();
    QVERIFY(!whole.contains("bytes>"));
    QCOMPARE(whole.count(QLatin1Char('\n')), 6 + 16);  // the reply's 522 bytes: 31, then 32s
    QCOMPARE(QString::fromLatin1(ReadAll(m_answer)), whole + "\n");
    std::unique_ptr<QMenu> again(view.CreateContextMenu());
    QVERIFY(again->findChild<QAction*>("traceFullHexAction")->isChecked());
  }

  void selectionAndCopyAcrossTheRingWrap() {
    CTrafficView::SetDefaultLimit(CTraceModel::kMinLimitBytes);
    CTrafficView view;
    view.resize(600, 300);
    view.show();
    // Far more than the ring holds, so the kept bytes wrap round its end.
    for (int i = 0; i < 300; ++i) {
      Send(view, {0x56, 0x00, 0x32, 0x0C, static_cast<uint8_t>(i)});
      std::vector<uint8_t> reply(700 + i % 50);
      for (size_t k = 0; k < reply.size(); ++k) reply[k] = static_cast<uint8_t>(k + i);
      Receive(view, reply);
    }
    view.Refresh();
    const TraceExtent e = view.Model().Extent();
    QVERIFY(e.bytes <= CTraceModel::kMinLimitBytes);
    const QString all = view.Text();
    QVERIFY(all.startsWith("\n\nTX :56 00 32 0C "));  // whole requests only

    view.SelectAll();
    view.Copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), all);

    // A selection from the middle of one line to the middle of another.
    const QStringList lines = all.split('\n');
    const int from = 5, to = static_cast<int>(lines.size()) - 7;
    view.Select(from, 7, to, 10);
    QString expected = lines[from].mid(7);
    for (int l = from + 1; l < to; ++l) expected += "\n" + lines[l];
    expected += "\n" + lines[to].left(10);
    QCOMPARE(view.SelectedText(), expected);
    view.Copy();  // the selection, not the whole trace
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);

    // The mouse selects whole characters from the line under it.
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, QPoint(4, 5));
    QTest::mouseMove(view.viewport(), QPoint(200, 40));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, QPoint(200, 40));
    QVERIFY(view.HasSelection());
    const QString dragged = view.SelectedText();
    QVERIFY(dragged.contains('\n'));
    QVERIFY(all.contains(dragged));

    // Lines the ring drops leave the selection; what is left of it still copies.
    view.Select(3, 0, to, 10);
    for (int i = 0; i < 10; ++i) {
      Send(view, {0x56, 0x00, 0x11, 0x00});
      Receive(view, std::vector<uint8_t>(1000, 0x11));
    }
    view.Refresh();
    const QString left = view.SelectedText();
    QVERIFY(!left.isEmpty());
    QVERIFY(view.Text().startsWith(left));
  }

  void failedSaveIsReportedAndLeavesNoFile() {
    const testsupport::TempFolder dir("brevant-trace");
    QVERIFY(!dir.Path().empty());
    CTrafficView view;
    Send(view, {0x56, 0x00, 0x11, 0x00});

    const QString missing = QString::fromStdString(dir.File("no/such/folder/trace.txt"));
    QString error;
    QVERIFY(!view.SaveTrace(missing, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(missing));

    m_answer = missing;
    view.SaveTraceAs();
    QCOMPARE(m_boxes.size(), size_t(1));
    QCOMPARE(m_boxes[0].icon, MsgIcon::Warning);
    QVERIFY(QString::fromStdString(m_boxes[0].text).contains(missing));
    QVERIFY(QDir(QString::fromStdString(dir.Path())).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  }
};

QTEST_MAIN(TestTrafficSave)
#include "test_traffic_save.moc"
