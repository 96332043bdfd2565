// Uploads from the main window to the simulated device at the default 192.168.0.200, in a
// namespace of its own behind the cable the lab makes before each row (tests/common/rows.sh);
// the PC's end, 192.168.0.10, is in this test's own namespace.

#include "About.h"
#include "Limits.h"
#include "SimDevice.h"
#include "TestImage.h"
#include "uitest_forms.h"
#include "uitest_netns.h"

#include <QAbstractNativeEventFilter>
#include <QAccessible>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QWindow>
#include <QtEndian>
#include <QtTest>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include <unistd.h>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace uitest;

namespace {

// Samples the window from a timer while an upload runs: the upload serves events, so samples at all show
// the window responsive, and the pause after it makes the timer due at least once.
class TBusyProbe : public QObject
{
public:
    explicit TBusyProbe(TForms &Forms) : F(Forms) { startTimer(10); }

    int Samples = 0;
    bool TipWhileLoading = false; // a reason from an earlier upload still showed
    bool ControlEnabled = false;  // the load or close button, or the field
    bool HelpDisabled = false;
    bool ButtonFocused = false; // Enter or Space would press it
    bool Closed = false;

private:
    void timerEvent(QTimerEvent *) override
    {
        if (F.Panel(1) != QStringLiteral("Статус: ЗАГРУЗКА") || Samples >= 50)
            return;
        ++Samples;
        TipWhileLoading |= !F.PanelTip(1).isEmpty();
        ControlEnabled |= F.Button("btnLoadToBoard")->isEnabled() || F.Button("btnClose")->isEnabled() ||
                          F.edtIP()->isEnabled() || !F.Main.Busy();
        HelpDisabled |= !F.Button("btnHelp")->isEnabled();
        ButtonFocused |= qobject_cast<QAbstractButton *>(QApplication::focusWidget()) != nullptr;
        Closed |= F.Main.close() || !F.Main.isVisible();
    }

    TForms &F;
};

// A point inside Edit where a click puts the cursor at Position; -1 for the field's far right end.
QPoint PointFor(QLineEdit *Edit, int Position)
{
    const int Y = Edit->height() / 2;
    if (Position < 0)
        return QPoint(Edit->width() - 4, Y);
    for (int X = 0; X < Edit->width(); ++X) {
        if (Edit->cursorPositionAt(QPoint(X, Y)) == Position)
            return QPoint(X, Y);
    }
    return QPoint(-1, -1);
}

// Collects what is written to standard error while it lives.
class TStderrCapture
{
public:
    TStderrCapture()
    {
        FFile = std::tmpfile();
        if (FFile) {
            std::fflush(stderr);
            FSaved = ::dup(::fileno(stderr));
            ::dup2(::fileno(FFile), ::fileno(stderr));
        }
    }
    ~TStderrCapture()
    {
        Stop();
        if (FFile)
            std::fclose(FFile);
    }
    QStringList Lines()
    {
        Stop();
        QByteArray Text(1 << 20, Qt::Uninitialized); // the first MiB is plenty
        if (FFile)
            std::rewind(FFile);
        Text.resize(FFile ? qsizetype(std::fread(Text.data(), 1, Text.size(), FFile)) : 0);
        return QString::fromUtf8(Text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    void Stop()
    {
        if (FSaved < 0)
            return;
        std::fflush(stderr);
        ::dup2(FSaved, ::fileno(stderr));
        ::close(FSaved);
        FSaved = -1;
    }
    std::FILE *FFile = nullptr;
    int FSaved = -1;
};

// The lab line of the device behind the cable, at 192.168.0.200 in the namespace "device".
QString Device(const QStringList &Args, const QString &Name = QStringLiteral("device"),
               const QString &Netns = QStringLiteral("device"))
{
    return DeviceLab(Args, QStringLiteral("192.168.0.200"), Name, Netns);
}

// Qt's accessibility bridge is on, with a listener on the accessibility bus (tests/common/on-atspi.sh).
const bool Bridge = qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");

// Input as the window system queues it: from another thread at set times, handled whenever the
// window serves its events. Clicks are queued calls (Qt does not route a posted release to the
// widget that took the press); keys go to the window as the window system's do, spontaneous and
// stamped with Qt's clock, so that the accessibility bridge takes them as the keyboard's.
class TQueuedInput
{
public:
    explicit TQueuedInput(QWindow *Window) : FWindow(Window) {}
    ~TQueuedInput() { Wait(); }

    void Click(QWidget *Target, int AtMs)
    {
        Queue(AtMs, [Target] { QTest::mouseClick(Target, Qt::LeftButton); });
    }

    // Key goes up or down as Types say, in one go: the keyboard repeats a held key as a release
    // and a press together.
    void Key(int Key, int AtMs, const QList<QEvent::Type> &Types)
    {
        Queue(AtMs, [Window = FWindow, Key, Types] {
            for (QEvent::Type Type : Types)
                qt_handleKeyEvent(Window, Type, Key, Qt::NoModifier,
                                  Key == Qt::Key_Space ? QStringLiteral(" ") : QString());
        });
    }

    // Queues the input at its times after now, or after Ready() holds (asked every 10 ms, for 10 s at most).
    void Start(const std::function<bool()> &Ready = {})
    {
        FThread = std::thread([this, Ready] {
            for (int i = 0; Ready && i < 1000 && !Ready(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const auto Begin = std::chrono::steady_clock::now();
            for (const auto &[AtMs, Queue] : FQueue) {
                std::this_thread::sleep_until(Begin + std::chrono::milliseconds(AtMs));
                Queue();
            }
        });
    }

    void Wait()
    {
        if (FThread.joinable())
            FThread.join();
    }

private:
    void Queue(int AtMs, const std::function<void()> &Call)
    {
        FQueue.push_back({AtMs, [Call] { QMetaObject::invokeMethod(qApp, Call, Qt::QueuedConnection); }});
    }

    QWindow *FWindow;
    std::vector<std::pair<int, std::function<void()>>> FQueue;
    std::thread FThread;
};

// Counts the presses of mouse buttons and keys the window system hands the program, before Qt sees them.
class TPressCount : public QAbstractNativeEventFilter
{
public:
    TPressCount() { qApp->installNativeEventFilter(this); }
    ~TPressCount() override { qApp->removeNativeEventFilter(this); }

    int Count = 0;

private:
    quint32 FButtonAt = 0;
    bool nativeEventFilter([[maybe_unused]] const QByteArray &Type, void *Message, qintptr *) override
    {
#ifdef Q_OS_WIN
        const UINT Kind = static_cast<const MSG *>(Message)->message;
        Count += Kind == WM_LBUTTONDOWN || Kind == WM_LBUTTONDBLCLK || Kind == WM_KEYDOWN;
#else
        // X's key press (2), and the button press (4) of XInput 2, Qt's source of mouse events, in a
        // generic event (35): once for the device and again, at the same time, for the master pointer.
        const auto *Event = static_cast<const quint8 *>(Message);
        if (Type != "xcb_generic_event_t")
            return false;
        const int Kind = Event[0] & 0x7f;
        if (Kind == 35 && qFromUnaligned<quint16>(Event + 8) == 4) {
            const quint32 Time = qFromUnaligned<quint32>(Event + 12);
            Count += Time != FButtonAt;
            FButtonAt = Time;
        }
        Count += Kind == 2;
#endif
        return false;
    }
};

} // namespace

class TestUiUpload : public QObject
{
    Q_OBJECT

    std::unique_ptr<TSimDevice> FDevice, FSecondDevice;
    // Copies of the port-69 helper; in the build tree, whose file system keeps capabilities. Made in
    // initTestCase: a listing (-functions, -datatags) ends the program without destroying this object.
    std::optional<QTemporaryDir> FHelperDir;
    QString HelperCopy() const { return FHelperDir ? FHelperDir->filePath("txloader-bind69") : QString(); }

    // Opens the window; with several interfaces the selection dialog lists them in Listed and
    // takes Pick with OK, or is cancelled when Pick is empty.
    void ShowWindow(TForms &F, const QString &Pick = {}, QStringList *Listed = nullptr)
    {
        TModalDriver Driver(On<TfrmSelectInterf>([&](TfrmSelectInterf *Dialog) {
            auto *Combo = Dialog->findChild<QComboBox *>("cbxInterfaces");
            for (int i = 0; Listed && i < Combo->count(); ++i)
                *Listed << Combo->itemText(i);
            Combo->setCurrentIndex(Combo->findText(Pick));
            EndDialog(Dialog, Pick.isEmpty() ? "BitBtn2" : "BitBtn1");
        }));
        F.Main.show();
        // FormShow, dialog included, runs within one pass of the event loop:
        // it is over once the panel names an interface or the dialog was answered.
        QTRY_VERIFY(F.Panel(0) != QStringLiteral("Интерфейс: ") || Driver.Done());
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }

    // A second listener comes and goes on the accessibility bus, as when a screen reader starts:
    // the bridge then puts its key filter in front again, as when the tool starts.
    bool ListenerCameAndWent()
    {
        QProcess Listener;
        Listener.start("/usr/bin/python3",
                       {qEnvironmentVariable("TXL_SOURCE_DIR") + "/tests/e2e/atspi_events.py", "0"});
        const bool Registered =
            Listener.waitForFinished(10000) && Listener.readAllStandardOutput() == "ready\n";
        QTest::qWait(300); // the bridge hears of it
        return Registered;
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
        FHelperDir.emplace(QCoreApplication::applicationDirPath() + "/helper-XXXXXX");
        QVERIFY(FHelperDir->isValid());
        if (Bridge)
            QTRY_VERIFY2(QAccessible::isActive(), "the accessibility bridge is off");
    }

    void init()
    {
        // The cable to the device (txpc, 192.168.0.10/24), and what the row's lab line added.
        FDevice = std::make_unique<TSimDevice>();
        QTRY_COMPARE(UsableInterfaces(), LabAddresses().size());
        QCOMPARE(LabAddresses().value(0), QStringLiteral("192.168.0.10"));
    }

    void cleanup()
    {
        frmAbout = nullptr;
        FDevice.reset();
        FSecondDevice.reset();
        UseBindHelper({});
        SetBindPrivilege(true); // back, where a row took it
    }

    void outcomeShownInStatus_data()
    {
        QTest::addColumn<QStringList>("SimArgs"); // empty: nothing listens at the device
        QTest::addColumn<QString>("Address");     // typed into the field; empty: the default
        QTest::addColumn<QString>("Fault");       // what else is wrong on the PC's side
        QTest::addColumn<QString>("Status");
        QTest::addColumn<bool>("Long");   // the upload lasts long enough to be sampled
        QTest::addColumn<bool>("AtOnce"); // a timeout without waiting out the attempts
        QTest::addColumn<QString>("Tip"); // part of the reason; empty: no reason
        const QStringList Once{"--once"};
        const char *const Timeout = "Статус: таймаут";
        // The device in its namespace, unless nothing listens there; faults of the routes, before the window.
        const auto Row = [Function = __func__](const char *Name, const QStringList &SimArgs,
                                               const char *Address, const QString &Fault, auto... Rest) {
            QString Lab = SimArgs.isEmpty() ? QString() : Device(SimArgs);
            if (Fault == "default route")
                Lab += "; ip route add default via 192.168.0.1 dev txpc";
            else if (Fault == "default route elsewhere")
                Lab += "; lab_link txo1 10.77.1.1/24; ip route add default via 10.77.1.2 dev txo1";
            LabRow(Function, Name, Lab, SimArgs, Address, Fault, Rest...);
        };
        Row("device acknowledges", QStringList{"--once", "--delay-ms", "5"}, "", "", "Статус: OK", true,
            false, "");
        Row("device silent", QStringList{"--fault", "0:silent:all"}, "", "", Timeout, true, false,
            "Устройство 192.168.0.200 не ответило через интерфейс 192.168.0.10. "
            "Обычные причины: устройство не переведено в режим загрузки");
        Row("device error", QStringList{"--fault", "0:error:all"}, "", "", "Статус: ошибка устройства", false,
            false,
            "на запрос записи оно ответило ошибкой TFTP с кодом 0 (не определена) и сообщением «simulated "
            "error»");
        Row("unrecognised reply", QStringList{"--fault", "0:unknown:all"}, "", "",
            "Статус: неизвестная ошибка", false, false, "");
        // The PC itself holds the evidence of what went wrong.
        Row("port taken", Once, "", "port taken", Timeout, false, true,
            "занят другой программой (например, запущенным TFTP-сервером)");
        // A user's process: port 69 comes from the helper or not at all.
        const QString Setcap = "sudo setcap cap_net_bind_service=+ep " + HelperCopy();
        Row("no capability", Once, "", "no capability", Timeout, false, true, Setcap);
        Row("no capability, helper without it", Once, "", "no capability, helper lacks it", Timeout, false,
            true, Setcap);
        Row("no capability, helper with it", QStringList{"--once", "--delay-ms", "5"}, "",
            "no capability, helper has it", "Статус: OK", true, false, "");
        // The package's helper runs only for its group; mode 0644 keeps even root out.
        Row("no capability, helper not ours to run", Once, "", "no capability, helper not executable",
            Timeout, false, true, "sudo usermod -aG txloader root"); // the tests run as root
        Row("no capability, helper with it, interface switched off", Once, "",
            "no capability, helper has it, link down", Timeout, false, true,
            "Интерфейс 192.168.0.10 выключен");
        Row("address gone", Once, "", "address gone", Timeout, false, true,
            "Адреса 192.168.0.10 больше нет на этом компьютере");
        // Switched off after the choice: the kernel refuses the send, and says why.
        Row("interface switched off", Once, "", "link down", Timeout, false, true,
            "Интерфейс 192.168.0.10 выключен");
        Row("cable out", Once, "", "no carrier", Timeout, true, false,
            "У интерфейса 192.168.0.10 нет связи: кабель не подключён");
        Row("nothing listens on 69", QStringList{}, "", "", Timeout, true, false,
            "С адреса 192.168.0.200 пришёл ответ «порт недоступен»");
        Row("no device at the address", Once, "192.168.0.201", "", Timeout, true, false,
            "Никто не ответил на запрос адреса 192.168.0.201 (ARP) на интерфейсе 192.168.0.10");
        Row("outside the subnet", Once, "10.9.9.9", "default route", Timeout, true, false,
            "Адрес 10.9.9.9 вне подсети интерфейса 192.168.0.10/24");
        // Kept to its interface, the socket asks ARP for any address: no cable fault.
        Row("outside the subnet, no gateway there", Once, "192.168.1.200", "default route elsewhere", Timeout,
            true, false, "Адрес 192.168.1.200 вне подсети интерфейса 192.168.0.10/24");
        // Other programs read the zeros as octal: the reason quotes the plain address.
        Row("zero-padded address", Once, "192.168.000.201", "", Timeout, true, false,
            "Никто не ответил на запрос адреса 192.168.0.201 (ARP) на интерфейсе 192.168.0.10");
        // A block counts only by its own ACK: a lost block 1 shows as a repeated ACK 0, and a device
        // that numbers nothing proves nothing.
        Row("RFC 1350 receiver, block 1 lost",
            QStringList{"--once", "--in-order", "--resend-ms", "200", "--fault", "1:lose"}, "", "",
            "Статус: OK", true, false, "");
        Row("the last ACK for any other block, a block lost",
            QStringList{"--once", "--in-order", "--repeat-last-ack", "--fault", "50:lose"}, "", "",
            "Статус: OK", true, false, "");
        Row("ACKs all numbered 0", QStringList{"--zero-acks"}, "", "", Timeout, true, false,
            "подтверждает блоки номером 0");
        Row("stops listening after 59 blocks", QStringList{"--fault", "60:close"}, "", "", Timeout, true,
            false, QString("приняло 59 из %1 блоков").arg(FirmwareSize / 512 + 1));
        // The device's own words, told as a timeout's reason is.
        Row("device error, with its message",
            QStringList{"--fault", "0:error:all", "--error-code", "3", "--error-message", "Flash full"}, "",
            "", "Статус: ошибка устройства", false, false, "«Flash full»");
        // Its words are text, whatever they look like.
        Row("device error, its message looks like markup",
            QStringList{"--fault", "0:error:all", "--error-code", "3", "--error-message",
                        "<h1>OK</h1><font color=green>&#1057;</font><img height=400>"},
            "", "", "Статус: ошибка устройства", false, false,
            "«<h1>OK</h1><font color=green>&#1057;</font><img height=400>»");
        Row("the PC's own address", Once, "192.168.0.10", "", "Статус: неизвестная ошибка", false, true,
            "192.168.0.10 — адрес этого компьютера");
        // The field emptied after typing: only its dots are left, an address the client refuses at once.
        Row("empty field", Once, "...", "field emptied", "Статус: неизвестная ошибка", false, true, "");
    }
    void outcomeShownInStatus()
    {
        QFETCH(QStringList, SimArgs);
        QFETCH(QString, Address);
        QFETCH(QString, Fault);
        QFETCH(QString, Status);
        QFETCH(bool, Long);
        QFETCH(bool, AtOnce);
        QFETCH(QString, Tip);
        // A bind fault needs the kernel to refuse that very address and port.
        TXL_SKIP_IF(wine::BindIgnored && Fault.contains(QRegularExpression("port taken|capability|gone")),
                    "Wine binds UDP sockets to 0.0.0.0");
        // The device's hardware address, read while the test may still ask the system.
        QString DeviceMac;
        if (!SimArgs.isEmpty() && Status == QStringLiteral("Статус: OK") && !wine::Runs) {
            QString Link;
            QVERIFY(Ip({"-n", "device", "-br", "link", "show", "txpcd"}, &Link));
            DeviceMac = Link.simplified().section(' ', 2, 2);
        }
        TXL_SKIP_IF(wine::NoPortUnreachable && SimArgs.isEmpty(),
                    "Wine hands a receive no ICMP port-unreachable report");
        TXL_SKIP_IF(wine::NoCarrierState && Fault == "no carrier",
                    "Wine reports an interface without carrier as up, its media state unknown");
        if (!SimArgs.isEmpty())
            QVERIFY2(FDevice->Listening(), qPrintable(FDevice->Errors()));

        TForms F(ShortTimeoutMs);
        ShowWindow(F, "192.168.0.10"); // with a second card the window asks which: the one facing the device
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: 192.168.0.10"));
        QCOMPARE(F.edtIP()->displayText(), QStringLiteral("192.168.  0.200"));
        if (!Address.isEmpty())
            F.TypeAddress(Address);

        TUdpSocket Holder; // another program on port 69
        if (Fault == QStringLiteral("port taken")) {
            QVERIFY(Holder.Bind(0xC0A8000A, 69)); // 192.168.0.10
        } else if (Fault.startsWith(QStringLiteral("no capability"))) {
            const QString Helper = HelperCopy();
            QFile::remove(Helper);
            if (Fault != QStringLiteral("no capability"))
                QVERIFY(QFile::copy(qEnvironmentVariable("TXL_BIND_HELPER"), Helper));
            if (Fault.contains(QStringLiteral("has it")))
                QVERIFY(Run("setcap", {"cap_net_bind_service=+ep", Helper}));
            if (Fault.endsWith(QStringLiteral("not executable")))
                QVERIFY(QFile::setPermissions(Helper, QFile::ReadOwner | QFile::WriteOwner |
                                                          QFile::ReadGroup | QFile::ReadOther));
            if (Fault.endsWith(QStringLiteral("link down")))
                QVERIFY(SwitchOff("txpc", "192.168.0.10"));
            QVERIFY(UseBindHelper(Helper));
            // As for a user without the privilege: the client binds on the thread that presses the button.
            QVERIFY2(SetBindPrivilege(false), "cannot drop CAP_NET_BIND_SERVICE");
        } else if (Fault == QStringLiteral("address gone")) {
            QVERIFY(Ip({"addr", "del", "192.168.0.10/24", "dev", "txpc"}));
        } else if (Fault == QStringLiteral("link down")) {
            QVERIFY(SwitchOff("txpc", "192.168.0.10"));
        } else if (Fault == QStringLiteral("no carrier")) {
            QVERIFY(Ip({"-n", "device", "link", "set", "txpcd", "down"})); // the device's end
        } else if (Fault == QStringLiteral("field emptied")) {
            F.edtIP()->clear();
            QCOMPARE(F.edtIP()->displayText(), QStringLiteral("   .   .   .   "));
        }

        TBusyProbe Probe(F);
        TStderrCapture Stderr;
        QElapsedTimer Clock;
        Clock.start();
        Load(F);
        const qint64 Elapsed = Clock.elapsed() - 500; // the pause after every upload
        const QStringList Said = Stderr.Lines().filter(QRegularExpression(QStringLiteral("^txloader: ")));
        QCOMPARE(F.Panel(1), Status);
        // The reason: beside the status without a hover, on the panel's tooltip,
        // as its accessible description, and in one line on standard error.
        const auto *Balloon = F.Main.findChild<QLabel *>("balReason");
        const auto *Mark = F.Main.findChild<QWidget *>("btnReason");
        QVERIFY(Balloon && Mark);
        // The panel tells the reason, then which unit answered; the mark and the note the reason.
        const QString Reason = Mark->accessibleDescription();
        QCOMPARE(F.Find<QLabel>("sbrStatusPanel1")->accessibleDescription(), F.PanelTip(1));
        QVERIFY2(F.PanelTip(1).left(Reason.size()) == Reason, qPrintable(F.PanelTip(1)));
        if (Tip.isEmpty()) {
            QVERIFY2(Reason.isEmpty(), qPrintable(Reason));
            QVERIFY2(Said.isEmpty(), qPrintable(Said.join('\n')));
            QVERIFY(!Balloon->isVisible() && !Mark->isVisible());
        } else {
            QVERIFY2(Reason.contains(Tip), qPrintable(Reason));
            QVERIFY2(Balloon->isVisible(), "the reason did not show by itself");
            QCOMPARE(F.Shown(Balloon->text(), Balloon->textFormat()), Reason);
            QCOMPARE(F.Shown(Mark->toolTip()), Reason);
            QVERIFY(Mark->isVisible());
            QCOMPARE(Said, QStringList{"txloader: " + Reason});
        }
        // After OK the unit is named by the device's own hardware address.
        if (!DeviceMac.isEmpty())
            QVERIFY2(F.PanelTip(1).contains("устройство " + DeviceMac),
                     qPrintable(F.PanelTip(1) + " / " + DeviceMac));
        if (AtOnce)
            QVERIFY2(Elapsed < ShortTimeoutMs, qPrintable(QString("%1 ms").arg(Elapsed)));
        else if (Status == QStringLiteral("Статус: таймаут"))
            QVERIFY2(Elapsed >= 3 * ShortTimeoutMs - 100, qPrintable(QString("%1 ms").arg(Elapsed)));
        QCOMPARE(F.Main.DeviceAddress(), Address.isEmpty() ? QStringLiteral("192.168.0.200") : Address);
        QVERIFY2(Probe.Samples >= (Long ? 5 : 1), qPrintable(QString("%1 samples").arg(Probe.Samples)));
        QVERIFY2(!Probe.ControlEnabled, "a control was enabled during the upload");
        QVERIFY2(!Probe.HelpDisabled, "the help button was disabled during the upload");
        QVERIFY2(!Probe.Closed, "the window closed during the upload");

        // Idle again: everything enabled, and closing works.
        QVERIFY(!F.Main.Busy());
        QVERIFY(F.Button("btnLoadToBoard")->isEnabled());
        QVERIFY(F.Button("btnClose")->isEnabled());
        QVERIFY(F.edtIP()->isEnabled());

        if (!SimArgs.isEmpty()) {
            const QJsonObject Summary = FDevice->Finish();
            if (Status == QStringLiteral("Статус: OK")) {
                QCOMPARE(Summary.value("file").toString(), QString::fromLatin1(FirmwareFileName));
                QCOMPARE(Summary.value("complete").toBool(), true);
                QCOMPARE(Summary.value("sha256").toString(), ImageSha256());
            } else {
                QVERIFY(!Summary.value("complete").toBool()); // a device prints one for a whole image
            }
            if (AtOnce)
                QCOMPARE(FDevice->Packets().size(), std::size_t(0));
        }
        QTest::mouseClick(F.Button("btnClose"), Qt::LeftButton);
        QVERIFY(!F.Main.isVisible());
        QVERIFY(!Balloon->isVisible());
    }

    // The reason for a timeout keeps to its window and never covers it.
    void reasonKeepsToItsWindow_data()
    {
        QTest::addColumn<QString>("Window");
        for (const char *Window : {"moved", "at the bottom of the screen", "minimised", "hidden"})
            QTest::newRow(Window) << QString::fromLatin1(Window);
    }
    void reasonKeepsToItsWindow()
    {
        QFETCH(QString, Window);
        TForms F(ShortTimeoutMs);
        ShowWindow(F);
        const bool AtBottom = Window.contains("bottom");
        if (AtBottom)
            F.Main.move(F.Main.x(),
                        F.Main.screen()->availableGeometry().bottom() + 1 - F.Main.frameGeometry().height());
        QVERIFY(SwitchOff("txpc", "192.168.0.10")); // a timeout at once, with its reason
        Load(F);
        const auto *Balloon = F.Main.findChild<QLabel *>("balReason");
        QVERIFY(Balloon->isVisible());
        if (Window == "moved")
            F.Main.move(F.Main.pos() + QPoint(40, -30));
        else if (Window == "hidden")
            F.Main.hide();
        else if (Window == "minimised")
            F.Main.showMinimized();
        // Gone with the window; else just below it, or just above it at the screen's bottom: never over it.
        const bool Shown = F.Main.isVisible() && !F.Main.isMinimized();
        const auto Gap = [&] {
            const QRect Frame = F.Main.frameGeometry(), Note = Balloon->geometry();
            return AtBottom ? Frame.top() - Note.bottom() : Note.top() - Frame.bottom();
        };
        QTRY_VERIFY2(
            Balloon->isVisible() == Shown && (!Shown || (Gap() > 0 && Gap() <= 4)),
            qPrintable(QStringLiteral("shown: %1, %2 px apart").arg(Balloon->isVisible()).arg(Gap())));
    }

    void uploadCanBeRepeated_data()
    {
        LabOnly(__func__, "wrong address, then three times", Device({"--each"}));
    }
    void uploadCanBeRepeated()
    {
        QVERIFY2(FDevice->Listening(), qPrintable(FDevice->Errors()));
        TForms F(ShortTimeoutMs);
        ShowWindow(F);
        QVERIFY(QTest::qWaitForWindowActive(&F.Main));
        // A wrong address first: nothing answers there.
        F.TypeAddress("192.168.0.201");
        Load(F);
        QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("192.168.0.201"));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: таймаут"));
        QVERIFY2(F.PanelTip(1).contains("192.168.0.201 (ARP)"), qPrintable(F.PanelTip(1)));
        // Then the right one, typed with its groups padded.
        F.TypeAddress("192168  0200");
        QCOMPARE(F.edtIP()->displayText(), QStringLiteral("192.168.  0.200"));
        // By mouse, then by keyboard: the load button has the focus again after
        // each upload, and Space or Enter presses it.
        const QList<Qt::Key> Presses{Qt::Key_unknown, Qt::Key_Space, Qt::Key_Return};
        for (int Round = 1; Round <= Presses.size(); ++Round) {
            TBusyProbe Probe(F);
            if (Presses[Round - 1] == Qt::Key_unknown)
                Load(F);
            else
                QTest::keyClick(QApplication::focusWidget(), Presses[Round - 1]);
            QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("192.168.0.200"));
            QCOMPARE(F.Panel(1), QStringLiteral("Статус: OK"));
            // The reason for the earlier timeout went when the next upload started.
            QVERIFY(Probe.Samples > 0);
            QVERIFY2(!Probe.TipWhileLoading, "the earlier timeout's reason showed during the next upload");
            QVERIFY2(!F.PanelTip(1).contains("ARP"), qPrintable(F.PanelTip(1)));
            QCOMPARE(QApplication::focusWidget(), F.Button("btnLoadToBoard"));
            const QJsonObject Summary = FDevice->Finish(); // one for each image it got whole
            QCOMPARE(FDevice->Summaries().size(), Round);
            QVERIFY2(Summary.value("complete").toBool(), qPrintable(QStringLiteral("round %1").arg(Round)));
            QCOMPARE(Summary.value("sha256").toString(), ImageSha256());
        }
    }

    // One deliberate press is one upload: what the user does while the controls are disabled is dropped, not
    // carried over, and the presses a held key repeats never start another.
    void inputWhileBusyIsDropped_data()
    {
        QTest::addColumn<QString>("Queued");
        const auto Row = [Function = __func__](const char *Name, const QString &Queued) {
            const char *Delay = Queued.startsWith("return") ? "5" : "0";
            LabRow(Function, Name, Device({"--each", "--delay-ms", Delay}), Queued);
        };
        // These come 150 ms after the device got the last block: in the pause.
        Row("double click", "click btnLoadToBoard 150");
        Row("the close button clicked during the pause", "click btnClose 150");
        Row("Space during the pause", "space 150");
        // 100 ms after the device got the first block, from a device that takes its time.
        Row("Enter during the upload", "return 100");
        // X11 repeats a held key as release and press pairs stamped alike, and
        // marks them only when it sees the pair together; a busy machine does not.
        Row("Enter held, repeats as unmarked pairs", "enter pairs");
        // With detectable repeats the presses come alone, unmarked as well.
        Row("Enter held, repeats as presses", "enter presses");
        // From the window system itself, to a device that answers at once: the upload may be over
        // before the second press comes, which then waits out the pause in the system's own queue.
        const auto Real = [Function = __func__](const char *Name, const char *Steps) {
            LabRow(Function, Name, Device({"--each"}) + "; lab_x_input 'click btnLoadToBoard' " + Steps,
                   QString("real"));
        };
        Real("double click, from the window system", "150 'click btnLoadToBoard'");
        Real("Enter 150 ms after the click, from the window system", "150 'key Return'");
        Real("the close button 200 ms after the click, from the window system", "200 'click btnClose'");
    }
    void inputWhileBusyIsDropped()
    {
        QFETCH(QString, Queued);
        const QStringList Words = Queued.split(' ');
        const bool During = Words[0] == "return", Real = Words[0] == "real";
        TXL_SKIP_IF(Real && QGuiApplication::platformName() == "offscreen",
                    "no window system to take input from");
        QVERIFY2(FDevice->Listening(), qPrintable(FDevice->Errors()));
        TForms F;
        TPressCount Presses;      // after the window's guard: it sees the presses first
        TfrmAbout About(&F.Main); // what Enter on the help button would open
        frmAbout = &About;
        ShowWindow(F);
        F.Main.activateWindow(); // X without a window manager activates nothing by itself
        QVERIFY(QTest::qWaitForWindowActive(&F.Main));
        QVERIFY(!Bridge || ListenerCameAndWent());
        if (Real) { // where lab_x_input finds the controls, in one write
            QByteArray Text;
            for (const char *Name : {"btnLoadToBoard", "btnClose"}) {
                const QPoint At = F.Button(Name)->mapToGlobal(F.Button(Name)->rect().center());
                Text += QString("%1 %2 %3\n").arg(Name).arg(At.x()).arg(At.y()).toUtf8();
            }
            QFile Controls(qEnvironmentVariable("TXL_LAB_DIR") + "/controls");
            QVERIFY(Controls.open(QIODevice::WriteOnly) && Controls.write(Text) == Text.size());
        }
        QWindow *Window = F.Main.windowHandle();
        TQueuedInput Input(Window);
        if (Words[0] == "click") {
            Input.Click(F.Button(qPrintable(Words[1])), Words[2].toInt());
        } else if (Words[0] == "space" || During) {
            const int Key = During ? Qt::Key_Return : Qt::Key_Space;
            Input.Key(Key, Words[1].toInt(), {QEvent::KeyPress});
            Input.Key(Key, Words[1].toInt() + 20, {QEvent::KeyRelease});
        } else if (!Real) {
            // Enter goes down at once: the deliberate press; repeats after 500 ms, every 40 ms, for 1.2 s.
            Input.Key(Qt::Key_Return, 0, {QEvent::KeyPress});
            for (int At = 500; At <= 1200; At += 40)
                Input.Key(Qt::Key_Return, At,
                          Words[1] == "pairs" ? QList{QEvent::KeyRelease, QEvent::KeyPress}
                                              : QList{QEvent::KeyPress});
            Input.Key(Qt::Key_Return, 1220, {QEvent::KeyRelease});
        }
        const int Block = During ? 1 : int(FirmwareSize / 512 + 1);
        Input.Start([this, &Words, Block, Real] {
            if (Words[0] == "enter" || Real)
                return true;
            const auto Packets = FDevice->Packets();
            return !Packets.empty() && Packets.back().Opcode == 3 && Packets.back().Block >= Block;
        });
        TBusyProbe Probe(F);
        if (Words[0] == "enter" || Real)
            QTRY_COMPARE_WITH_TIMEOUT(F.Panel(1), QStringLiteral("Статус: OK"), 20000);
        else
            Load(F);
        Input.Wait();
        QTest::qWait(800); // room for a second upload, should one start
        QVERIFY2(!Real || Presses.Count == 2, qPrintable(QString("%1 presses came").arg(Presses.Count)));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: OK"));
        QVERIFY2(F.Main.isVisible(), "the window closed");
        QVERIFY2(!QApplication::activeModalWidget(), "a window opened");
        QVERIFY2(!Probe.ButtonFocused, "a button had the focus during the upload");
        FDevice->Finish();
        QCOMPARE(FDevice->WriteRequests(), 1);
        QCOMPARE(FDevice->Summaries().value(0).contains("\"complete\":true"), true);
        // Input after the pause goes through: the load button is enabled and has the focus.
        QVERIFY(F.Button("btnLoadToBoard")->isEnabled());
        QCOMPARE(QApplication::focusWidget(), F.Button("btnLoadToBoard"));
    }

    void clickedAndEditedAddressIsUsed_data()
    {
        QTest::addColumn<QString>("Typed"); // empty: the default text
        QTest::addColumn<int>("ClickAt");   // cursor position clicked, -1: far right
        QTest::addColumn<QString>("Keys");  // \b is Backspace
        QTest::addColumn<QString>("Shown");
        const auto Row = [Function = __func__](const char *Name, auto... Values) {
            LabRow(Function, Name, Device({"--once"}), Values...);
        };
        Row("default, right end, last group retyped", "", -1, "\b\b\b200", "192.168.  0.200");
        Row("default, inside the first group", "", 2, "\b9", "192.168.  0.200");
        Row("default, inside the second group", "", 6, "\b6", "192.168.  0.200");
        Row("typed, right end, digits added", "19216802", -1, "00", "192.168.0  .200");
        Row("typed, after the last digit", "19216802", 13, "00", "192.168.0  .200");
    }
    void clickedAndEditedAddressIsUsed()
    {
        QFETCH(QString, Typed);
        QFETCH(int, ClickAt);
        QFETCH(QString, Keys);
        QFETCH(QString, Shown);
        QVERIFY2(FDevice->Listening(), qPrintable(FDevice->Errors()));
        TForms F;
        ShowWindow(F);
        QVERIFY(QTest::qWaitForWindowActive(&F.Main));
        QLineEdit *Edit = F.edtIP();
        if (!Typed.isEmpty()) {
            F.TypeAddress(Typed.left(3) + "." + Typed.mid(3, 3) + "." + Typed.mid(6, 1) + "." + Typed.mid(7));
            F.Button("btnLoadToBoard")->setFocus();
        }
        // The click that gives the field its focus, as after start or an upload.
        QVERIFY(!Edit->hasFocus());
        const QPoint At = PointFor(Edit, ClickAt);
        QVERIFY(At.x() >= 0);
        QTest::mouseClick(Edit, Qt::LeftButton, {}, At);
        QTRY_VERIFY(Edit->hasFocus());
        QCoreApplication::processEvents();
        if (ClickAt >= 0)
            QCOMPARE(Edit->cursorPosition(), ClickAt);
        QTest::keyClicks(Edit, Keys);
        QCOMPARE(Edit->displayText(), Shown);
        Load(F);
        QCOMPARE(F.Main.DeviceAddress(), QStringLiteral("192.168.0.200"));
        QCOMPARE(F.Panel(1), QStringLiteral("Статус: OK"));
        QCOMPARE(FDevice->Finish().value("sha256").toString(), ImageSha256());
    }

    // About opened during an upload must neither hold up its packets nor its clock.
    void aboutOpenDuringAnUpload_data()
    {
        QTest::addColumn<QString>("Status");
        QTest::addColumn<int>("MinMs");
        QTest::addColumn<int>("MaxMs");
        QTest::addColumn<int>("AboutMs"); // how long About stays open
        // 121 replies 10 ms late each, and three attempts of 500 ms.
        LabRow(__func__, "device with a 10 ms reply delay", Device({"--once", "--delay-ms", "10"}),
               QString("Статус: OK"), 1200, 2400, 2600);
        LabRow(__func__, "silent device", Device({"--fault", "0:silent:all"}), QString("Статус: таймаут"),
               3 * ShortTimeoutMs - 100, 3 * ShortTimeoutMs + 900, 2600);
    }
    void aboutOpenDuringAnUpload()
    {
        QFETCH(QString, Status);
        QFETCH(int, MinMs);
        QFETCH(int, MaxMs);
        QFETCH(int, AboutMs);
        QVERIFY2(FDevice->Listening(), qPrintable(FDevice->Errors()));
        TForms F(ShortTimeoutMs);
        TfrmAbout About(&F.Main);
        frmAbout = &About;
        ShowWindow(F);
        bool ShownDuringUpload = false;
        QTimer::singleShot(300, this, [&] {
            QTest::mouseClick(F.Button("btnHelp"), Qt::LeftButton);
            ShownDuringUpload = About.isVisible() && F.Main.Busy();
        });
        QTimer::singleShot(300 + AboutMs, &About, &QDialog::accept);
        QElapsedTimer Clock;
        Clock.start();
        Load(F); // returns when the upload is over, 500 ms after its outcome
        const qint64 Elapsed = Clock.elapsed() - 500;
        const bool AboutStillOpen = About.isVisible();
        QTRY_VERIFY_WITH_TIMEOUT(!About.isVisible(), AboutMs + 2000);
        frmAbout = nullptr;
        QVERIFY(ShownDuringUpload);
        QVERIFY2(AboutStillOpen, "the upload waited for About to close");
        QCOMPARE(F.Panel(1), Status);
        QVERIFY2(Elapsed >= MinMs && Elapsed <= MaxMs, qPrintable(QString::number(Elapsed)));
        const QJsonObject Summary = FDevice->Finish();
        if (Status == QStringLiteral("Статус: OK"))
            QCOMPARE(Summary.value("sha256").toString(), ImageSha256());
    }

    // The firmware leaves only through the interface the user chose.
    void chosenInterfaceIsTheSource_data()
    {
        QTest::addColumn<QString>("Others"); // the other links: "subnets", "device", "nothing"
        QTest::addColumn<QString>("Pick");   // address to pick, empty: Cancel
        QTest::addColumn<QString>("Status");
        QTest::addColumn<bool>("FirstGets"); // the device behind 192.168.0.10 gets the image
        const auto Row = [Function = __func__](const char *Name, const QString &Others, auto... Values) {
            const QString Lab = Others == "subnets" ? "lab_link txo1 10.77.1.1/24; lab_link txo2 10.77.2.1/24"
                                : Others == "device" ? "lab_cable - device2 192.168.0.11/24 txpc2; " +
                                                           Device({"--once"}, "second", "device2")
                                                     : "lab_link txo1 192.168.0.11/24";
            LabRow(Function, Name, Device({"--once"}) + "; " + Lab, Others, Values...);
        };
        Row("the interface facing the device", "subnets", "192.168.0.10", "Статус: OK", true);
        Row("another interface", "subnets", "10.77.1.1", "Статус: таймаут", false);
        Row("cancel: any local address", "subnets", "", "Статус: OK", true);
        // Two links on one subnet, a device at the same address behind each:
        // only the one behind the chosen link may get the image.
        Row("same subnet, a device behind each", "device", "192.168.0.11", "Статус: OK", false);
        Row("same subnet, nothing behind the chosen link", "nothing", "192.168.0.11", "Статус: таймаут",
            false);
    }
    void chosenInterfaceIsTheSource()
    {
        QFETCH(QString, Others);
        QFETCH(QString, Pick);
        QFETCH(QString, Status);
        QFETCH(bool, FirstGets);
        TXL_SKIP_IF(wine::BindIgnored && Pick != "192.168.0.10", "Wine binds UDP sockets to 0.0.0.0");
        const QStringList Offered = Others == "subnets"
                                        ? QStringList{"192.168.0.10", "10.77.1.1", "10.77.2.1"}
                                        : QStringList{"192.168.0.10", "192.168.0.11"};
        if (Others == "device") {
            FSecondDevice = std::make_unique<TSimDevice>("second");
            QVERIFY2(FSecondDevice->Listening(), qPrintable(FSecondDevice->Errors()));
        }
        QVERIFY2(FDevice->Listening(), qPrintable(FDevice->Errors()));
        QTRY_COMPARE(UsableInterfaces(), int(Offered.size()));

        TForms F(ShortTimeoutMs);
        QStringList Listed;
        ShowWindow(F, Pick, &Listed);
        QCOMPARE(Listed, Offered);
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: ") + Pick);
        Load(F);
        QCOMPARE(F.Panel(1), Status);
        FDevice->Finish();
        const QList<QByteArray> Summaries = FDevice->Summaries();
        QCOMPARE(!Summaries.isEmpty() && Summaries.last().contains("\"complete\":true"), FirstGets);
        if (!FirstGets)
            QCOMPARE(FDevice->Packets().size(), std::size_t(0));
        if (FSecondDevice)
            QCOMPARE(FSecondDevice->Finish().value("sha256").toString(), ImageSha256());
    }
};

QTEST_MAIN(TestUiUpload)
#include "tst_ui_upload.moc"
