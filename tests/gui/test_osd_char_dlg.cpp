// "OSD Char" against the virtual camera: what each line's "Setting" puts on the wire, the
// byte limit, the alignment rule, and the colour boxes, swatches and chooser.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "dialogs/OsdCharDlg.h"
#include "test_dlg_harness.h"

namespace {
// Control identifiers of line 1..4: display, font, x, y, text, font colour, back colour, setting.
struct LineIds {
  int display, font, x, y, text, fontColor, backColor, setting;
};
constexpr LineIds kIds[4] = {{1054, 1053, 1051, 1052, 1050, 1062, 1083, 1055},
                             {1060, 1067, 1065, 1066, 1064, 1070, 1098, 1063},
                             {1079, 1075, 1073, 1074, 1072, 1078, 1104, 1071},
                             {1081, 1091, 1089, 1090, 1088, 1094, 1101, 1087}};
}  // namespace

class TestOsdCharDlg : public QObject {
  Q_OBJECT
 private slots:
  void colourConversions() {
    const struct {
      uint16_t value;
      QColor colour;
    } to24[] = {{0x007C, QColor(0, 27, 228)},  {0xFFFF, QColor(255, 255, 255)},
                {0x8000, QColor(0, 0, 0)},     {0x001F, QColor(0, 0, 255)},
                {0x4210, QColor(128, 128, 128)}, {0x0C63, QColor(27, 27, 27)}};
    for (const auto& c : to24) QCOMPARE(ColorFromRgb555(c.value), c.colour);
    QCOMPARE(Rgb555FromColor(QColor(255, 0, 0)), uint16_t(0x7C00));
    QCOMPARE(Rgb555FromColor(QColor(255, 255, 255)), uint16_t(0x7FFF));
    QCOMPARE(Rgb555FromColor(QColor(7, 8, 135)), uint16_t(0x0030));
    QCOMPARE(ParseHexColour(QStringLiteral("  1F")), uint16_t(0x1F));
    QCOMPARE(ParseHexColour(QStringLiteral("1g2")), uint16_t(0x1));
    QCOMPARE(ParseHexColour(QString()), uint16_t(0));
  }

  void firstOpeningShowsDefaultsAndModelFonts() {
    CTestHost host;
    CCameraProtocol camera(&host);
    {
      COsdCharDlg dlg(&camera, nullptr);
      for (const LineIds& ids : kIds) {
        QCOMPARE(Control<QComboBox>(&dlg, ids.display)->currentText(), QStringLiteral("Enable"));
        QCOMPARE(Control<QComboBox>(&dlg, ids.font)->currentText(), QStringLiteral("32x32"));
        QCOMPARE(Control<QLineEdit>(&dlg, ids.x)->text(), QStringLiteral("0"));
        QCOMPARE(Control<QLineEdit>(&dlg, ids.y)->text(), QStringLiteral("0"));
        QCOMPARE(Control<QLineEdit>(&dlg, ids.text)->text(), QString());
        QCOMPARE(Control<QLineEdit>(&dlg, ids.fontColor)->text(), QStringLiteral("007C"));
        QCOMPARE(Control<QLineEdit>(&dlg, ids.backColor)->text(), QStringLiteral("FFFF"));
      }
      for (int line = 0; line < 4; ++line) {
        QCOMPARE(g_osdSwatchColor[0][line], QColor(0, 27, 228));
        QCOMPARE(g_osdSwatchColor[1][line], QColor(255, 255, 255));
      }
    }
    ModelInfo qvx5m0;
    qvx5m0.modelCode = 8;
    camera.SetModelInfo(qvx5m0);
    COsdCharDlg dlg(&camera, nullptr);
    QComboBox* font = Control<QComboBox>(&dlg, kIds[0].font);
    QCOMPARE(font->count(), 3);
    QCOMPARE(font->itemText(0), QStringLiteral("16x16"));
    QCOMPARE(font->itemText(1), QStringLiteral("32x32"));
    QCOMPARE(font->itemText(2), QStringLiteral("48x48"));
    QCOMPARE(font->currentText(), QStringLiteral("48x48"));
  }

  void settingSendsThatLineOnly() {
    CCamFixture f;
    QVERIFY(f.Open());
    COsdCharDlg dlg(f.camera.get(), nullptr);
    dlg.show();
    // Line 1 holds other values, which line 3 must not pick up.
    TypeInto(Control<QLineEdit>(&dlg, kIds[0].x), QStringLiteral("200"));
    TypeInto(Control<QLineEdit>(&dlg, kIds[0].text), QStringLiteral("ZZ"));
    const LineIds& l3 = kIds[2];
    Control<QComboBox>(&dlg, l3.display)->setCurrentIndex(0);
    Control<QComboBox>(&dlg, l3.font)->setCurrentIndex(2);
    TypeInto(Control<QLineEdit>(&dlg, l3.x), QStringLiteral("100"));
    TypeInto(Control<QLineEdit>(&dlg, l3.y), QStringLiteral("40"));
    TypeInto(Control<QLineEdit>(&dlg, l3.text), QStringLiteral("AB"));
    const size_t mark = f.RequestCount();
    QTest::mouseClick(Control<QPushButton>(&dlg, l3.setting), Qt::LeftButton);
    QCOMPARE(f.Request(mark), std::string("56 00 86 0E 00 02 02 00 64 00 28 00 7C FF FF 02 41 42"));
    QVERIFY(WaitFor([&] { return f.host.HasStatusLine("set osd char line"); }));

    // An odd x is sent as 0 after the box; the edit keeps showing what was typed.
    TypeInto(Control<QLineEdit>(&dlg, l3.x), QStringLiteral("101"));
    QTest::mouseClick(Control<QPushButton>(&dlg, l3.setting), Qt::LeftButton);
    QVERIFY(f.host.HasBox("x or y must be align 2\n", "Coordinate error"));
    QCOMPARE(f.Request(mark + 1), std::string("56 00 86 0E 00 02 02 00 00 00 28 00 7C FF FF 02 41 42"));
    QCOMPARE(Control<QLineEdit>(&dlg, l3.x)->text(), QStringLiteral("101"));

    // Out of range: the standard message and nothing sent; the corrected value goes out.
    f.host.ClearBoxes();
    TypeInto(Control<QLineEdit>(&dlg, l3.x), QStringLiteral("2000"));
    QTest::mouseClick(Control<QPushButton>(&dlg, l3.setting), Qt::LeftButton);
    QVERIFY(f.host.HasBox("Please enter an integer between 0 and 1918.", "Brevant"));
    TypeInto(Control<QLineEdit>(&dlg, l3.x), QStringLiteral("1000"));
    QTest::mouseClick(Control<QPushButton>(&dlg, l3.setting), Qt::LeftButton);
    QCOMPARE(f.Request(mark + 2), std::string("56 00 86 0E 00 02 02 03 E8 00 28 00 7C FF FF 02 41 42"));

    // The record outlives the dialog: the next opening shows the line as last sent.
    dlg.close();
    COsdCharDlg again(f.camera.get(), nullptr);
    QCOMPARE(Control<QLineEdit>(&again, l3.text)->text(), QStringLiteral("AB"));
    QCOMPARE(Control<QComboBox>(&again, l3.display)->currentText(), QStringLiteral("Disable"));
    QCOMPARE(Control<QLineEdit>(&again, l3.x)->text(), QStringLiteral("1000"));
    QCOMPARE(Control<QLineEdit>(&again, kIds[0].text)->text(), QString());
  }

  void textLimitCountsBytes() {
    CCamFixture f;
    QVERIFY(f.Open());
    COsdCharDlg dlg(f.camera.get(), nullptr);
    QLineEdit* text = Control<QLineEdit>(&dlg, kIds[0].text);
    QPushButton* setting = Control<QPushButton>(&dlg, kIds[0].setting);
    const size_t mark = f.RequestCount();

    text->setText(QString(160, u'a'));
    setting->click();
    const std::string whole = f.Request(mark);
    QVERIFY(whole.rfind("56 00 86 AC 01 00 02 00 00 00 00 00 7C FF FF A0 61 61", 0) == 0);
    QCOMPARE(whole.size(), size_t(176 * 3 - 1));

    // Eighty Chinese characters are 160 bytes in the camera's encoding.
    const QString chinese = QString(80, QChar(0x4E2D));
    text->setText(chinese);
    setting->click();
    const std::string wide = f.Request(mark + 1);
    QVERIFY(wide.rfind("56 00 86 AC 01 00 02 00 00 00 00 00 7C FF FF A0 D6 D0 D6 D0", 0) == 0);

    // One byte more is refused and nothing is sent: the next frame is the one after it.
    text->setText(chinese + QStringLiteral("a"));
    setting->click();
    QVERIFY(f.host.HasBox("limt char max 160\n", "char overflow"));
    text->setText(QStringLiteral("ok"));
    setting->click();
    QCOMPARE(f.Request(mark + 2), std::string("56 00 86 0E 01 00 02 00 00 00 00 00 7C FF FF 02 6F 6B"));
    QCOMPARE(f.RequestCount(), mark + 3);
  }

  void colourBoxesSwatchesAndChooser() {
    CCamFixture f;
    QVERIFY(f.Open());
    COsdCharDlg dlg(f.camera.get(), nullptr);
    dlg.show();
    QLineEdit* fontColour = Control<QLineEdit>(&dlg, kIds[1].fontColor);
    QLineEdit* backColour = Control<QLineEdit>(&dlg, kIds[1].backColor);

    TypeInto(fontColour, QStringLiteral("1F"));
    QCOMPARE(fontColour->text(), QStringLiteral("1F"));
    QCOMPARE(g_osdFontColor[1], uint16_t(0x001F));
    QCOMPARE(g_osdSwatchColor[0][1], QColor(0, 0, 255));
    // "g" is refused in a font-colour box, accepted in a background box (parsing stops there).
    QTest::keyClicks(fontColour, QStringLiteral("g"));
    QCOMPARE(fontColour->text(), QStringLiteral("1F"));
    TypeInto(backColour, QStringLiteral("3g"));
    QCOMPARE(backColour->text(), QStringLiteral("3g"));
    QCOMPARE(g_osdBackColor[1], uint16_t(0x0003));

    // The chooser opens on the line's colour: pure red becomes 7C00; Cancel changes nothing.
    QColor answer(250, 0, 0), offered;
    COsdCharDlg::SetColorChooserHook([&](QWidget*, const QColor& current) {
      offered = current;
      return answer;
    });
    const QColor before = g_osdSwatchColor[1][1];
    QTest::mouseClick(dlg.findChild<QWidget*>(QStringLiteral("id1099")), Qt::LeftButton);
    QCOMPARE(offered, before);
    QCOMPARE(backColour->text(), QStringLiteral("7C00"));
    QCOMPARE(g_osdSwatchColor[1][1], QColor(250, 0, 0));
    answer = QColor();
    QTest::mouseClick(dlg.findChild<QWidget*>(QStringLiteral("id1099")), Qt::LeftButton);
    QCOMPARE(backColour->text(), QStringLiteral("7C00"));
    COsdCharDlg::SetColorChooserHook({});

    const size_t mark = f.RequestCount();
    Control<QPushButton>(&dlg, kIds[1].setting)->click();
    QCOMPARE(f.Request(mark), std::string("56 00 86 0C 01 01 02 00 00 00 00 00 1F 7C 00 00"));
  }
};

QTEST_MAIN(TestOsdCharDlg)
#include "test_osd_char_dlg.moc"
