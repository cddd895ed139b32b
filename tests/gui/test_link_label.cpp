// The hyperlink label: what it opens, how it looks afterwards, and what it says on failure.
#include <QEnterEvent>
#include <QWidget>
#include <QtTest>
#include <string>
#include <vector>

#include "controls/UiMessageBox.h"
#include "controls/LinkLabel.h"

class TestLinkLabel : public QObject {
  Q_OBJECT
 private:
  std::vector<BoxRecord> m_boxes;
  QStringList m_opened;
  int m_nOpenResult = CLinkLabel::kOpenSuccess;

  static void Hover(CLinkLabel& label, bool inside) {
    if (inside) {
      QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
      QCoreApplication::sendEvent(&label, &enter);
    } else {
      QEvent leave(QEvent::Leave);
      QCoreApplication::sendEvent(&label, &leave);
    }
  }

 private slots:
  void init() {
    m_boxes.clear();
    m_opened.clear();
    m_nOpenResult = CLinkLabel::kOpenSuccess;
    SetMessageBoxHook([this](const BoxRecord& box) { m_boxes.push_back(box); return IDOK; });
    CLinkLabel::SetOpenerHook([this](const QString& address) {
      m_opened << address;
      return m_nOpenResult;
    });
  }
  void cleanup() {
    SetMessageBoxHook({});
    CLinkLabel::SetOpenerHook({});
  }

  void opensOwnTextAndTurnsVisited() {
    QWidget parent;
    CLinkLabel label(QStringLiteral("https://example.org/brevant"), &parent);
    label.resize(200, 20);
    parent.show();
    QCOMPARE(label.TextColour(), QColor(0, 0, 0));
    QCOMPARE(label.cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(label.font().underline());

    QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(m_opened, QStringList{QStringLiteral("https://example.org/brevant")});
    QVERIFY(m_boxes.empty());
    QVERIFY(label.IsVisited());
    QCOMPARE(label.TextColour(), QColor(85, 26, 139));
    QCOMPARE(label.palette().color(QPalette::WindowText), QColor(85, 26, 139));

    // Hovering shows the highlight colour over the visited one, and leaving restores it.
    Hover(label, true);
    QCOMPARE(label.TextColour(), QApplication::palette().color(QPalette::Highlight));
    Hover(label, false);
    QCOMPARE(label.TextColour(), QColor(85, 26, 139));
  }

  void addressGivesTextAndTooltip() {
    QWidget parent;
    CLinkLabel label(&parent);
    label.SetLink(QStringLiteral("https://example.org/docs"));
    QCOMPARE(label.text(), QStringLiteral("https://example.org/docs"));
    QCOMPARE(label.toolTip(), QStringLiteral("https://example.org/docs"));

    // With its own caption the label still opens the address, not the caption.
    CLinkLabel named(QStringLiteral("Brevant home"), &parent);
    named.SetLink(QStringLiteral("https://example.org/"));
    QCOMPARE(named.text(), QStringLiteral("Brevant home"));
    parent.show();
    QTest::mouseClick(&named, Qt::LeftButton, {}, QPoint(2, 2));
    QCOMPARE(m_opened.last(), QStringLiteral("https://example.org/"));
  }

  void failureIsReportedAndNotVisited() {
    const struct {
      int code;
      const char* text;
    } cases[] = {
        {26, "Unable to open hyperlink:\n\nA sharing violation occurred. "},
        {31, "Unable to open hyperlink:\n\nThere is no application associated\nwith the given filename extension."},
        {0, "Unable to open hyperlink:\n\nThe operating system is out\nof memory or resources."},
        {4, "Unable to open hyperlink:\n\nUnknown Error (4) occurred."},
    };
    for (const auto& c : cases) {
      m_boxes.clear();
      QWidget parent;
      CLinkLabel label(QStringLiteral("https://example.org/"), &parent);
      parent.show();
      label.SetVisited(true);
      m_nOpenResult = c.code;
      QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(2, 2));
      QCOMPARE(m_boxes.size(), size_t(1));
      QCOMPARE(QString::fromStdString(m_boxes[0].text), QString::fromUtf8(c.text));
      QCOMPARE(m_boxes[0].icon, MsgIcon::Warning);
      QVERIFY(!label.IsVisited());
      QCOMPARE(label.TextColour(), QColor(0, 0, 0));
    }
  }
};

QTEST_MAIN(TestLinkLabel)
#include "test_link_label.moc"
