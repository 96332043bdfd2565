// The windows as they open: the design's texts and layout, and how the local
// interface is settled with none, one or several usable interfaces in the
// test's own network namespace, made by the lab before the row (tests/common/rows.sh).

#include "uitest_forms.h"
#include "uitest_netns.h"

#include <QClipboard>
#include <QComboBox>
#include <QFontMetrics>
#include <QImage>
#include <QMessageBox>
#include <QMimeData>
#include <QStatusBar>
#include <QtTest>

using namespace uitest;

class TestUiStartup : public QObject
{
    Q_OBJECT

    // Shows the main window and runs the application's event loop as start-up does; 0 when the program ended
    // on its own, 99 when it was still running after GuardMs.
    static int RunUntilQuit(TForms &F, int GuardMs = 30000)
    {
        QTimer::singleShot(0, &F.Main, [&F] { F.Main.show(); });
        // Only a hang guard (windows come up slowly under Wine on a busy machine), and only for
        // this run: it goes with the function.
        const QObject Guard;
        QTimer::singleShot(GuardMs, &Guard, [] { QCoreApplication::exit(99); });
        return QCoreApplication::exec();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(InPrivateNetns(), "run through tests/common/in-netns.sh: interfaces are made here");
        QCOMPARE(UsableInterfaces(), LabAddresses().size()); // loopback and what the lab made only
    }

    void formsAsDesigned()
    {
        TForms F;
        // A build with the repository's placeholder image must admit to it in the caption.
        QCOMPARE(F.Main.windowTitle(),
                 QStringLiteral("Tervix BootLoader: ZRM-40K_06_V48") +
                     (FirmwareIsPlaceholder ? QStringLiteral(" (тестовый образ)") : QString()));
        // The form's title is a copy of the product's name.
        QVERIFY(F.Main.windowTitle().startsWith(QString::fromUtf8(Product::Name) + QStringLiteral(": ")));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: Готов"));
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: "));
        QCOMPARE(F.edtIP()->displayText(), QStringLiteral("192.168.  0.200"));
        QCOMPARE(F.Find<QLabel>("Label2")->text(), QStringLiteral("IP-адрес устройства:"));
        QCOMPARE(F.Find<QLabel>("Label1")->text(),
                 QStringLiteral("Укажите правильный IP-адрес устройства для загрузки и нажмите кнопку "
                                "\"Загрузить\". Не забудьте перевести устройство в режим загрузки!"));
        QCOMPARE(F.Button("btnLoadToBoard")->text(), QStringLiteral("Загрузить..."));
        QCOMPARE(F.Button("btnClose")->text(), QStringLiteral("Выйти"));
        QCOMPARE(F.Button("btnHelp")->text(), QStringLiteral(" "));
        // The glyph-only button has a name for screen readers, and says it on hover.
        QCOMPARE(F.Button("btnHelp")->accessibleName(), QStringLiteral("О программе"));
        QCOMPARE(F.Button("btnHelp")->toolTip(), QStringLiteral("О программе"));
        QCOMPARE(F.Select.windowTitle(), QStringLiteral("Выберите сетевой интерфейс"));
        QVERIFY(F.Select.findChild<QLabel *>("Label1")->text().contains(QStringLiteral("нажмите ОК.")));
        QCOMPARE(F.Select.findChild<QPushButton *>("BitBtn1")->text(), QStringLiteral("OK"));
        QCOMPARE(F.Select.findChild<QPushButton *>("BitBtn2")->text(), QStringLiteral("Cancel"));

        // Fixed size, close box and system menu only.
        for (QWidget *W : {static_cast<QWidget *>(&F.Main), static_cast<QWidget *>(&F.Select)}) {
            QCOMPARE(W->minimumSize(), W->maximumSize());
            QVERIFY(!(W->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
            QVERIFY(W->windowFlags() & Qt::WindowCloseButtonHint);
        }
        QVERIFY(!F.Main.windowIcon().isNull());
        for (int Side : {16, 32, 48})
            QVERIFY2(F.Main.windowIcon().availableSizes().contains(QSize(Side, Side)), "icon size missing");
        for (const char *Name : {"btnClose", "btnHelp"})
            QVERIFY2(!F.Button(Name)->icon().isNull(), Name);

        // The texts must fit the boxes they were laid out for, with the font actually used.
        F.Main.show();
        const auto *Label1 = F.Find<QLabel>("Label1");
        QVERIFY2(Label1->heightForWidth(Label1->width()) <= Label1->height(), "Label1 text is cut off");
        const auto *Panel1 = F.Find<QLabel>("sbrStatusPanel1");
        const int Widest =
            Panel1->fontMetrics().horizontalAdvance(QStringLiteral("Статус: неизвестная ошибка"));
        QVERIFY2(Widest <= Panel1->contentsRect().width(), "the longest status does not fit panel 1");
        QVERIFY(!F.Find<QStatusBar>("sbrStatus")->isSizeGripEnabled());
        F.Main.hide();
    }

    // The panels' frames, drawn at the scales screens use: each keeps its top
    // and bottom line, and stays clear of the window's bottom edge.
    void statusPanelsFramedAtEveryScale_data()
    {
        QTest::addColumn<double>("Scale");
        for (const double Scale : {1.0, 1.25, 1.5, 2.0})
            QTest::newRow(qPrintable(QString::number(Scale))) << Scale;
    }
    void statusPanelsFramedAtEveryScale()
    {
        QFETCH(double, Scale);
        TForms F; // drawn as it would be on screen, without showing it
        QImage Image(F.Main.size() * Scale, QImage::Format_RGB32);
        Image.setDevicePixelRatio(Scale);
        F.Main.render(&Image);
        for (const char *Name : {"sbrStatusPanel0", "sbrStatusPanel1"}) {
            const QLabel *Panel = F.Find<QLabel>(Name);
            const QRect Rect(Panel->mapTo(&F.Main, QPoint(0, 0)), Panel->size());
            // A column by the panel's right end, clear of its text; rows that
            // stand out from the background there are frame lines.
            const int X = int((Rect.right() - 3) * Scale);
            const QRgb Background = Image.pixel(X, int((Rect.top() - 1) * Scale));
            QList<int> Lines;
            for (int Y = int((Rect.top() - 2) * Scale); Y < Image.height(); ++Y)
                if (std::abs(qGray(Image.pixel(X, Y)) - qGray(Background)) > 24)
                    Lines << Y;
            QString Seen;
            QDebug(&Seen).nospace() << Name << ": frame rows " << Lines << " of " << Image.height();
            QVERIFY2(!Lines.isEmpty() && std::abs(Lines.first() - Rect.top() * Scale) <= 1.5,
                     qPrintable(Seen));
            QVERIFY2(std::abs(Lines.last() - (Rect.bottom() + 1) * Scale) <= 2.5, qPrintable(Seen));
            QVERIFY2(Lines.last() < Image.height() - 2, qPrintable(Seen));
        }
    }

    void tabOrder()
    {
        TForms F;
        const QStringList Expected = {"btnLoadToBoard", "edtIP", "btnClose", "btnHelp"};
        QWidget *W = F.Button("btnLoadToBoard");
        QStringList Seen;
        for (int Step = 0; Step < 50 && Seen.size() < Expected.size(); ++Step, W = W->nextInFocusChain())
            if (W->focusPolicy() & Qt::TabFocus)
                Seen << W->objectName();
        QCOMPARE(Seen, Expected);
        QCOMPARE(F.Main.focusWidget(), F.Button("btnLoadToBoard"));

        QWidget *D = F.Select.findChild<QWidget *>("cbxInterfaces");
        QCOMPARE(D->nextInFocusChain()->objectName(), QStringLiteral("BitBtn1"));
        QCOMPARE(D->nextInFocusChain()->nextInFocusChain()->objectName(), QStringLiteral("BitBtn2"));
    }

    // A pasted or dropped address lands whole; the mask would take its blanks
    // one by one and shift the digits into other groups.
    void pastedAddress_data()
    {
        QTest::addColumn<QString>("How");
        QTest::addColumn<QString>("Text");
        QTest::addColumn<QString>("Shown"); // empty: the field keeps its text
        Row("leading blank", "Ctrl+V", " 192.168.0.200", "192.168.  0.200");
        Row("two blanks, short group", "Ctrl+V", "  192.168.0.5", "192.168.  0.  5");
        Row("tab and newline", "Shift+Insert", "\t10.77.1.2\n", " 10. 77.  1.  2");
        Row("dropped", "drop", " 10.0.0.1 ", " 10.  0.  0.  1");
        Row("no address", "Ctrl+V", "device", "");
        Row("out of range", "Ctrl+V", "192.168.0.256", "");
        Row("three groups", "drop", "192.168.0", "");
    }
    void pastedAddress()
    {
        QFETCH(QString, How);
        QFETCH(QString, Text);
        QFETCH(QString, Shown);
        TForms F;
        QLineEdit *Edit = F.edtIP();
        const QString Before = Edit->displayText();
        Edit->setFocus();
        Edit->setCursorPosition(0);
        if (How == "drop") {
            QMimeData Data;
            Data.setText(Text);
            QDragEnterEvent Enter(QPoint(4, 4), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(Edit, &Enter);
            QDropEvent Drop(QPointF(4, 4), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(Edit, &Drop);
        } else {
            QGuiApplication::clipboard()->setText(Text);
            if (How == "Ctrl+V")
                QTest::keyClick(Edit, Qt::Key_V, Qt::ControlModifier);
            else
                QTest::keyClick(Edit, Qt::Key_Insert, Qt::ShiftModifier);
        }
        QCOMPARE(Edit->displayText(), Shown.isEmpty() ? Before : Shown);
    }

    void oneInterfaceNeedsNoChoice_data() { LabOnly(__func__, "one card", "lab_link txu1 10.77.1.1/24"); }
    void oneInterfaceNeedsNoChoice()
    {
        QTRY_COMPARE(UsableInterfaces(), 1);
        TForms F;
        TModalDriver Driver([](QWidget *Modal) { Modal->close(); }, 3000);
        F.Main.show();
        QTRY_COMPARE(F.Panel(0), QStringLiteral("Интерфейс: 10.77.1.1"));
        QCOMPARE(F.Main.InterfaceAddress(), QStringLiteral("10.77.1.1"));
        QVERIFY2(!Driver.Done(), qPrintable("unexpected window " + Driver.ModalClass()));
        QVERIFY(F.Main.isVisible());

        // The close button ends the program.
        F.Main.hide();
        QTimer::singleShot(100, F.Button("btnClose"), &QPushButton::click);
        QCOMPARE(RunUntilQuit(F), 0);
        QVERIFY(!F.Main.isVisible());
    }

    void severalInterfacesOfferAChoice_data()
    {
        QTest::addColumn<QString>("Ending");
        QTest::addColumn<int>("Pick");     // item selected before the dialog is ended
        QTest::addColumn<int>("Expected"); // index of the address the window keeps; -1: none
        // Not in address order, so a sorted list would show.
        const auto Row = [Function = __func__](const char *Name, const char *Ending, int Pick, int Expected) {
            LabRow(Function, Name,
                   "lab_link txu0 10.77.3.1/24; lab_link txu1 10.77.1.1/24; lab_link txu2 10.77.2.1/24",
                   QString(Ending), Pick, Expected);
        };
        Row("OK button, second item", "BitBtn1", 1, 1);
        Row("Enter key, first item", "Return", 0, 0);
        Row("Cancel button", "BitBtn2", 2, -1);
        Row("Escape key", "Escape", 1, -1);
        Row("close box", "close", 0, -1);
    }
    void severalInterfacesOfferAChoice()
    {
        QFETCH(QString, Ending);
        QFETCH(int, Pick);
        QFETCH(int, Expected);
        const QStringList Addresses = {"10.77.3.1", "10.77.1.1", "10.77.2.1"};
        QTRY_COMPARE(UsableInterfaces(), 3);

        TForms F;
        QStringList Items;
        int Selected = -2;
        bool MainVisible = false;
        TModalDriver Driver(On<TfrmSelectInterf>([&](TfrmSelectInterf *Dialog) {
            MainVisible = F.Main.isVisible();
            auto *Combo = Dialog->findChild<QComboBox *>("cbxInterfaces");
            for (int i = 0; i < Combo->count(); ++i)
                Items << Combo->itemText(i);
            Selected = Combo->currentIndex();
            Combo->setCurrentIndex(Pick);
            EndDialog(Dialog, Ending);
        }));
        F.Main.show();
        const QString Chosen = Expected < 0 ? QString() : Addresses[Expected];
        QTRY_VERIFY(Driver.Done());
        QTRY_COMPARE(F.Panel(0), QStringLiteral("Интерфейс: ") + Chosen);
        QCOMPARE(Driver.ModalClass(), QStringLiteral("TfrmSelectInterf"));
        QCOMPARE(Items, Addresses);
        QCOMPARE(Selected, 0);
        QVERIFY(MainVisible);
        QCOMPARE(F.Main.InterfaceAddress(), Chosen);
        QVERIFY(!F.Select.isVisible());
        QVERIFY(F.Main.isVisible());
    }

    // Only loopback and an interface that is down: nothing usable.
    void noInterfaceEndsTheProgram_data()
    {
        LabOnly(__func__, "a card off", "lab_link txdown 10.77.9.1/24 down");
    }
    void noInterfaceEndsTheProgram()
    {
        QTRY_COMPARE(UsableInterfaces(), 0);

        TForms F;
        QString Text;
        TModalDriver Driver(On<QMessageBox>([&](QMessageBox *Box) {
                                Text = Box->text();
                                QTest::mouseClick(Box->button(QMessageBox::Ok), Qt::LeftButton);
                            }),
                            25000);
        const int ExitCode = RunUntilQuit(F);
        // Without the box, the panel tells whether the window settled on an interface instead.
        const QString Why =
            QStringLiteral("no modal window appeared; exit code %1, panel \"%2\", usable interfaces now %3")
                .arg(ExitCode)
                .arg(F.Panel(0))
                .arg(UsableInterfaces());
        QVERIFY2(Driver.Done(), qPrintable(Why));
        QCOMPARE(Driver.ModalClass(), QStringLiteral("QMessageBox"));
        QCOMPARE(ExitCode, 0);
        QCOMPARE(Text, QStringLiteral("Не обнаружено ни одного сетевого интерфейса!"));
        QVERIFY(!F.Main.isVisible());
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: "));
    }

    void hangGuardEndsWithItsRun()
    {
        {
            TForms F;
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(5); }); // before the window shows
            QCOMPARE(RunUntilQuit(F, 200), 5);
        }
        // Left armed, the guard would end whatever event loop runs when it fires: in the next
        // test, the one of the message box, before anyone saw it.
        QEventLoop Later;
        QTimer::singleShot(500, &Later, [&Later] { Later.exit(7); });
        QCOMPARE(Later.exec(), 7);
    }

    void clickIntoEmptyAddressFieldStartsAtTheStart_data()
    {
        LabOnly(__func__, "one card", "lab_link txu1 10.77.1.1/24");
    }
    void clickIntoEmptyAddressFieldStartsAtTheStart()
    {
        TForms F;
        F.Main.show();
        QVERIFY(QTest::qWaitForWindowActive(&F.Main));
        QTRY_COMPARE(F.Panel(0), QStringLiteral("Интерфейс: 10.77.1.1"));
        QLineEdit *Edit = F.edtIP();
        Edit->clear();
        QVERIFY(!Edit->hasFocus());
        // Click near the right end, past every blank: the mask would drop what follows.
        QTest::mouseClick(Edit, Qt::LeftButton, {}, QPoint(Edit->width() - 4, Edit->height() / 2));
        QTRY_VERIFY(Edit->hasFocus());
        QTRY_COMPARE(Edit->cursorPosition(), 0);
        QTest::keyClicks(Edit, "10.77.1x.2");
        QCOMPARE(Edit->displayText(), QStringLiteral("10 .77 .1  .2  "));
        QCOMPARE(RemoveSpaces(Edit->displayText()), QStringLiteral("10.77.1.2"));
    }
};

QTEST_MAIN(TestUiStartup)
#include "tst_ui_startup.moc"
