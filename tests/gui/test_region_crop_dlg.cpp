// "Region Cropping" against the virtual camera: the read-back at opening, the alignment
// checks, the write frame and the camera's verdicts.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include "dialogs/RegionCropDlg.h"
#include "test_dlg_harness.h"

class TestRegionCropDlg : public QObject {
  Q_OBJECT
 private:
  static QList<QLineEdit*> Edits(QWidget* dlg) {
    return {Control<QLineEdit>(dlg, 1051), Control<QLineEdit>(dlg, 1052),
            Control<QLineEdit>(dlg, 1053), Control<QLineEdit>(dlg, 1054)};
  }
  static CRegionCropDlg* OpenShown(CCamFixture& f) {
    auto* dlg = new CRegionCropDlg(f.camera.get(), nullptr);
    dlg->show();
    WaitFor([&] { return !Control<QLabel>(dlg, 1116)->text().isEmpty(); });
    return dlg;
  }

 private slots:
  void openingShowsWhatTheCameraHolds() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SetImageSizeIndex(7);  // 1920X1080
    f.sim.SetCrop({0, 0, 640, 480, 1});
    const size_t mark = f.RequestCount();
    CRegionCropDlg* dlg = OpenShown(f);
    DialogGuard guard{dlg};
    QCOMPARE(f.Request(mark), std::string("56 00 8B 01 02"));
    QCOMPARE(Control<QLabel>(dlg, 1116)->text(), QStringLiteral("1920x1080"));
    QCOMPARE(Control<QComboBox>(dlg, 1055)->currentText(), QStringLiteral("Enable"));
    const QStringList values{"0", "0", "640", "480"};
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(Edits(dlg)[i]->text(), values[i]);
      QVERIFY(Edits(dlg)[i]->isEnabled());
    }
    QVERIFY(WaitFor([&] { return f.host.HasLine("read cropsuccess"); }));
    QVERIFY(CloseDialog(dlg));
  }

  // The read-back is shown as its result arrives; a camera that never answers gets the
  // record shown when the wait gives up.
  void readBackShownOnItsResultOrAfterGivingUp() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SetCrop({32, 16, 320, 240, 1});
    QPointer<CRegionCropDlg> dlg;
    QString widthOnResult;
    f.host.afterResult = [&](const CommandResult& result) {
      if (result.code == CMD_READ_CROP && dlg) widthOnResult = Edits(dlg)[2]->text();
    };
    dlg = new CRegionCropDlg(f.camera.get(), nullptr);
    DialogGuard guard{dlg.data()};
    dlg->show();
    QVERIFY(WaitFor([&] { return !widthOnResult.isEmpty(); }));
    QCOMPARE(widthOnResult, QStringLiteral("320"));

    f.sim.SetMuted(true);
    TypeInto(Edits(dlg)[2], QStringLiteral("64"));
    Control<QPushButton>(dlg, 1097)->click();
    QVERIFY(WaitFor([&] { return Edits(dlg)[2]->text() == QStringLiteral("320"); }));
    QVERIFY(AwaitingReply(*f.camera, CMD_READ_CROP));
    QVERIFY(CloseDialog(dlg));
  }

  void writeChecksAlignmentThenSends() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SetImageSizeIndex(7);  // 1920X1080: the window below fits
    f.sim.SetCrop({0, 0, 640, 480, 1});
    CRegionCropDlg* dlg = OpenShown(f);
    DialogGuard guard{dlg};
    const size_t mark = f.RequestCount();
    QPushButton* write = Control<QPushButton>(dlg, 1096);

    TypeInto(Edits(dlg)[0], QStringLiteral("8"));
    write->click();
    QVERIFY(f.host.HasBox("x must be align 16\n", "Coordinate error"));
    TypeInto(Edits(dlg)[0], QStringLiteral("16"));
    TypeInto(Edits(dlg)[1], QStringLiteral("3"));
    write->click();
    QVERIFY(f.host.HasBox("y must be align 2\n", "Coordinate error"));
    TypeInto(Edits(dlg)[1], QStringLiteral("8"));
    TypeInto(Edits(dlg)[3], QStringLiteral("482"));  // a height the camera refuses at any size
    write->click();
    QVERIFY(f.host.HasBox("height must be align 4\n", "height error"));
    TypeInto(Edits(dlg)[3], QStringLiteral("480"));
    write->click();
    // No refused write reached the camera: this is the next frame it got.
    QCOMPARE(f.Request(mark), std::string("56 00 8B 0A 01 01 00 10 00 08 02 80 01 E0"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("set cropsuccess"); }));
    QCOMPARE(f.RequestCount(), mark + 1);

    // The camera refuses the height: its status is logged and explained.
    f.sim.SetCropStatus(4);
    write->click();
    QCOMPARE(f.Request(mark + 1), std::string("56 00 8B 0A 01 01 00 10 00 08 02 80 01 E0"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("set cropfail,4"); }));
    QVERIFY(f.host.HasBox("crop height range [32,1080],height must be align 4 and less than image height\n",
                          "height error"));
    QCOMPARE(int(f.camera->Records().crop.status), 4);
    QVERIFY(CloseDialog(dlg));
  }

  void disableGreysTheEditsAndStillWritesThem() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SetCrop({32, 16, 320, 240, 1});
    CRegionCropDlg* dlg = OpenShown(f);
    DialogGuard guard{dlg};
    QComboBox* sw = Control<QComboBox>(dlg, 1055);
    sw->setFocus();
    QTest::keyClick(sw, Qt::Key_Up);
    QCOMPARE(sw->currentText(), QStringLiteral("Disable"));
    for (QLineEdit* e : Edits(dlg)) QVERIFY(!e->isEnabled());
    const size_t mark = f.RequestCount();
    Control<QPushButton>(dlg, 1096)->click();
    QCOMPARE(f.Request(mark), std::string("56 00 8B 0A 01 00 00 20 00 10 01 40 00 F0"));

    // "Read" shows the camera's state again after the delay.
    QVERIFY(WaitFor([&] { return f.host.HasLine("set cropsuccess"); }));
    Control<QPushButton>(dlg, 1097)->click();
    QCOMPARE(f.Request(mark + 1), std::string("56 00 8B 01 02"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("read cropsuccess") && !AwaitingReply(*f.camera); }));
    QVERIFY(WaitFor([&] { return sw->currentText() == QStringLiteral("Disable"); }));
    QVERIFY(CloseDialog(dlg));
  }
};

QTEST_MAIN(TestRegionCropDlg)
#include "test_region_crop_dlg.moc"
