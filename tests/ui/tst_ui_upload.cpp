// Uploads from the main window to the simulated device, which sits in a
// network namespace of its own at the default address 192.168.0.200 behind a
// veth pair; the PC side is this test's own namespace (192.168.0.10).

#include "uitest_forms.h"
#include "uitest_netns.h"

#include <QComboBox>
#include <QJsonObject>
#include <QtTest>

using namespace uitest;

namespace {

// Samples the window from a timer while an upload runs: the upload serves
// events, so the samples themselves show that the window stays responsive.
class TBusyProbe : public QObject
{
public:
    explicit TBusyProbe(TForms &Forms) : F(Forms)
    {
        connect(&FTimer, &QTimer::timeout, this, [this] { Sample(); });
        FTimer.start(50);
    }

    int Samples = 0;
    bool ControlsDisabled = true;
    bool HelpEnabled = true;
    bool CloseRefused = true;

private:
    void Sample()
    {
        if (F.Panel(1) != QStringLiteral("Статус: ЗАГРУЗКА") || Samples >= 20)
            return;
        ++Samples;
        ControlsDisabled &= !F.Button("btnLoadToBoard")->isEnabled() && !F.Button("btnClose")->isEnabled() &&
                            !F.edtIP()->isEnabled() && F.Main.Busy();
        HelpEnabled &= F.Button("btnHelp")->isEnabled();
        const bool Closed = F.Main.close();
        CloseRefused &= !Closed && F.Main.isVisible();
    }

    TForms &F;
    QTimer FTimer;
};

} // namespace

class TestUiUpload : public QObject
{
    Q_OBJECT

    QString FFirmwareHash;
    TSimDevice *FDevice = nullptr;
    QStringList FInterfaces;

    // Opens the window; with several interfaces Choose acts on the selection dialog.
    void ShowWindow(TForms &F, const std::function<void(TfrmSelectInterf *)> &Choose = {})
    {
        TModalDriver Driver([&](QWidget *Modal) {
            auto *Dialog = qobject_cast<TfrmSelectInterf *>(Modal);
            if (Dialog && Choose)
                Choose(Dialog);
            else
                Modal->close();
        });
        F.Main.show();
        // FormShow, dialog included, runs within one pass of the event loop:
        // it is over once the panel names an interface or the dialog was answered.
        QTRY_VERIFY(F.Panel(0) != QStringLiteral("Интерфейс: ") || Driver.Done());
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }

    void Load(TForms &F)
    {
        QVERIFY(F.Button("btnLoadToBoard")->isEnabled());
        QTest::mouseClick(F.Button("btnLoadToBoard"), Qt::LeftButton);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(InPrivateNetns(),
                 "run through tests/common/in-netns.sh: the device address must stay inside");
        QVERIFY2(!qEnvironmentVariable("TXL_SIM").isEmpty(), "TXL_SIM not set");
        FFirmwareHash = FirmwareSha256();
        QVERIFY2(FFirmwareHash.size() == 64, "firmware/ZRM-40K_06_V48.xfw not readable (TXL_SOURCE_DIR)");
    }

    void init()
    {
        FDevice = new TSimDevice;
        QVERIFY2(FDevice->Open("txpc", "192.168.0.10/24", "192.168.0.200/24"),
                 "cannot set up the device link");
        QTRY_COMPARE(UsableInterfaces(), 1);
    }

    void cleanup()
    {
        delete FDevice;
        FDevice = nullptr;
        for (const QString &Name : std::as_const(FInterfaces))
            RemoveInterface(Name);
        FInterfaces.clear();
    }

    void outcomeShownInStatus_data()
    {
        QTest::addColumn<QStringList>("SimArgs");
        QTest::addColumn<QString>("Status");
        QTest::addColumn<bool>("Long"); // the upload lasts long enough to be sampled
        QTest::newRow("device acknowledges")
            << QStringList{"--once", "--delay-ms", "5"} << "Статус: OK" << true;
        QTest::newRow("device silent") << QStringList{"--fault", "0:silent:all"} << "Статус: таймаут" << true;
        QTest::newRow("device error")
            << QStringList{"--fault", "0:error:all"} << "Статус: ошибка устройства" << false;
        QTest::newRow("unrecognised reply")
            << QStringList{"--fault", "0:unknown:all"} << "Статус: неизвестная ошибка" << false;
    }
    void outcomeShownInStatus()
    {
        QFETCH(QStringList, SimArgs);
        QFETCH(QString, Status);
        QFETCH(bool, Long);
        QVERIFY2(FDevice->StartSim("192.168.0.200", SimArgs), qPrintable(FDevice->SimErrors()));

        TForms F;
        ShowWindow(F);
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: 192.168.0.10"));
        QCOMPARE(F.edtIP()->displayText(), QStringLiteral("192.168.  0.200"));

        TBusyProbe Probe(F);
        Load(F);
        QCOMPARE(F.Panel(1), Status);
        QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("192.168.0.200"));
        if (Long)
            QVERIFY2(Probe.Samples > 0, "no events were served during the upload");
        QVERIFY2(Probe.ControlsDisabled, "a control stayed enabled during the upload");
        QVERIFY2(Probe.HelpEnabled, "the help button was disabled during the upload");
        QVERIFY2(Probe.CloseRefused, "the window closed during the upload");

        // Idle again: everything enabled, and closing works.
        QVERIFY(!F.Main.Busy());
        QVERIFY(F.Button("btnLoadToBoard")->isEnabled());
        QVERIFY(F.Button("btnClose")->isEnabled());
        QVERIFY(F.edtIP()->isEnabled());

        const QJsonObject Summary = FDevice->StopSim();
        if (Status == QStringLiteral("Статус: OK")) {
            QCOMPARE(Summary.value("file").toString(), QStringLiteral("ZRM-40K_06_V48.xfw"));
            QCOMPARE(Summary.value("complete").toBool(), true);
            QCOMPARE(Summary.value("sha256").toString(), FFirmwareHash);
        } else {
            QCOMPARE(Summary.value("complete").toBool(true), false);
        }
        QTest::mouseClick(F.Button("btnClose"), Qt::LeftButton);
        QVERIFY(!F.Main.isVisible());
    }

    void uploadCanBeRepeated()
    {
        TForms F;
        ShowWindow(F);
        for (int Round = 1; Round <= 2; ++Round) {
            QVERIFY2(FDevice->StartSim("192.168.0.200", {"--once"}), qPrintable(FDevice->SimErrors()));
            Load(F);
            QCOMPARE(F.Panel(1), QStringLiteral("Статус: OK"));
            const QJsonObject Summary = FDevice->StopSim();
            QVERIFY2(Summary.value("complete").toBool(), qPrintable(QStringLiteral("round %1").arg(Round)));
            QCOMPARE(Summary.value("sha256").toString(), FFirmwareHash);
        }
    }

    void typedAddressIsUsed()
    {
        QVERIFY2(FDevice->StartSim("192.168.0.200", {"--once"}), qPrintable(FDevice->SimErrors()));
        TForms F;
        ShowWindow(F);
        QLineEdit *Edit = F.edtIP();
        // A wrong address first: nothing answers there.
        Edit->clear();
        Edit->setCursorPosition(0);
        QTest::keyClicks(Edit, "192.168.0.201");
        Load(F);
        QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("192.168.0.201"));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: таймаут"));
        // Then the right one, typed with its groups padded.
        Edit->clear();
        Edit->setCursorPosition(0);
        QTest::keyClicks(Edit, "192168  0200");
        QCOMPARE(Edit->displayText(), QStringLiteral("192.168.  0.200"));
        Load(F);
        QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("192.168.0.200"));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: OK"));
        QVERIFY(FDevice->StopSim().value("complete").toBool());
    }

    void emptyFieldIsAnUnknownError()
    {
        TForms F;
        ShowWindow(F);
        F.edtIP()->clear();
        QCOMPARE(F.edtIP()->displayText(), QStringLiteral("   .   .   .   "));
        Load(F);
        QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("..."));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: неизвестная ошибка"));
        QVERIFY(F.Button("btnLoadToBoard")->isEnabled());
    }

    void chosenInterfaceIsTheSource_data()
    {
        QTest::addColumn<QString>("Pick"); // address to pick, empty: Cancel
        QTest::addColumn<QString>("Status");
        QTest::newRow("the interface facing the device") << "192.168.0.10"
                                                         << "Статус: OK";
        QTest::newRow("another interface") << "10.77.1.1"
                                           << "Статус: таймаут";
        QTest::newRow("cancel: any local address") << ""
                                                   << "Статус: OK";
    }
    void chosenInterfaceIsTheSource()
    {
        QFETCH(QString, Pick);
        QFETCH(QString, Status);
        if (const QString Ignored = QStringLiteral(TXL_BIND_IGNORED);
            !Ignored.isEmpty() && Pick == "10.77.1.1")
            QSKIP(qPrintable(Ignored));
        for (int i = 1; i <= 2; ++i) {
            const QString Name = QStringLiteral("txo%1").arg(i);
            QVERIFY(AddInterface(Name, QStringLiteral("10.77.%1.1/24").arg(i)));
            FInterfaces << Name;
        }
        QVERIFY2(FDevice->StartSim("192.168.0.200", {"--once"}), qPrintable(FDevice->SimErrors()));
        QTRY_COMPARE(UsableInterfaces(), 3);

        TForms F;
        QStringList Offered;
        ShowWindow(F, [&](TfrmSelectInterf *Dialog) {
            auto *Combo = Dialog->findChild<QComboBox *>("cbxInterfaces");
            for (int i = 0; i < Combo->count(); ++i)
                Offered << Combo->itemText(i);
            if (Pick.isEmpty()) {
                QTest::mouseClick(Dialog->findChild<QPushButton *>("BitBtn2"), Qt::LeftButton);
            } else {
                Combo->setCurrentIndex(Combo->findText(Pick));
                QTest::mouseClick(Dialog->findChild<QPushButton *>("BitBtn1"), Qt::LeftButton);
            }
        });
        QCOMPARE(Offered, (QStringList{"192.168.0.10", "10.77.1.1", "10.77.2.1"}));
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: ") + Pick);
        Load(F);
        QCOMPARE(F.Panel(1), Status);
        QCOMPARE(FDevice->StopSim().value("complete").toBool(), Status == QStringLiteral("Статус: OK"));
    }
};

QTEST_MAIN(TestUiUpload)
#include "tst_ui_upload.moc"
