// The About box on real widgets. This test program carries the build's version resource just as TXLoader
// does, so the box shows what the tool will show; PE files made by the resource compiler
// (tests/version/test_files.py) and files without any version information cover the rest. The help button is
// pressed on a real main window in the test's own network namespace.

#include "uitest_forms.h"
#include "uitest_netns.h"

#include "About.h"
#include "Limits.h"
#include "VersionTestTools.h"

#include <QFontMetrics>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using namespace uitest;

namespace {

// The value labels; as designed, each shows its own name.
const QStringList DesignTexts = {"lblProductName", "lblFileVersion", "lblCopyRight", "lblComments"};

QLabel *Label(const QWidget *Form, const QString &Name)
{
    return Form->findChild<QLabel *>(Name);
}

QStringList Values(const QWidget *Form)
{
    QStringList Texts;
    for (const QString &Name : DesignTexts) {
        const QLabel *L = Label(Form, Name);
        Texts << (L ? L->text() : "<no " + Name + ">");
    }
    return Texts;
}

// What the box must show for the program's own version resource, from its table.
QStringList TableValues()
{
    QHash<QString, QString> Strings;
    for (const auto &[Key, Value] : VersionTableStrings())
        Strings.insert(Key, Value);
    return {Strings.value("ProductName"), Strings.value("FileVersion"), Strings.value("LegalCopyright"),
            Strings.value("Comments")};
}

// What the running tool's box shows: a build with the placeholder image says
// in its comments that it carries a test image; one with a real image does not.
QStringList OwnValues()
{
    QStringList Texts = TableValues();
    if (FirmwareIsPlaceholder)
        Texts.last() += QStringLiteral(" (тестовый образ)");
    return Texts;
}

// Runs exec() on the box as the help button does; Action ends the showing. A
// box that does not react is ended after 10 s with -1.
int ExecAbout(TfrmAbout &About, const TModalDriver::TAction &Action)
{
    TModalDriver Driver(Action, 5000);
    const QObject Guard;
    QTimer::singleShot(10000, &Guard, [&About] { About.done(-1); });
    return About.exec();
}

} // namespace

class TestUiAbout : public QObject
{
    Q_OBJECT

    // Made in initTestCase: a listing (-functions, -datatags) ends the program without destroying it.
    std::optional<QTemporaryDir> FDir;

private slots:
    void initTestCase()
    {
        QVERIFY2(InPrivateNetns(), "run through tests/common/in-netns.sh: interfaces are made here");
        QCOMPARE(UsableInterfaces(), LabAddresses().size()); // loopback and what the lab made only
        QVERIFY(FDir.emplace().isValid());
        QVERIFY2(!TableValues().contains(QString()), "the version table lacks one of the four texts");
    }

    void cleanup() { frmAbout = nullptr; }

    void showsVersionInformation_data()
    {
        // "@own": the running executable's, as start-up creates the box; "@name": a file made here;
        // "@pe:NAME": test_files.py's NAME.exe.
        QTest::addColumn<QString>("Path");
        QTest::addColumn<QStringList>("Expected");
        const QString Long = QStringLiteral("Tervix Systems, Research and Development Department");
        Row("own version information", "@own", OwnValues());
        Row("text file", "@plain", DesignTexts);
        Row("no such file", "@missing", DesignTexts);
        Row("empty name", QString(), DesignTexts);
        Row("ELF without the version section", "@stripped", DesignTexts);
        Row("PE without FileVersion text", "@pe:about-long",
            QStringList{"Tool", "2.5.10.300", Long, "Notes"});
        Row("PE with two texts missing", "@pe:about-two-missing",
            QStringList{"", "1.2.3.4 beta", "Someone", ""});
        Row("PE without translation table", "@pe:no-translation", QStringList{"", "3.1.4.1", "", ""});
        Row("PE without version resource", "@pe:no-version", DesignTexts);
    }
    void showsVersionInformation()
    {
        QFETCH(QString, Path);
        QFETCH(QStringList, Expected);
        const QString Tag = QString::fromLatin1(QTest::currentDataTag());
        const QString Made = FDir->filePath(QString::number(qHash(Tag)));
        if (Path == "@plain") {
            QVERIFY(WriteWholeFile(Made, "not an executable\n"));
            Path = Made;
        } else if (Path == "@missing") {
            Path = Made + ".none";
        } else if (Path == "@stripped") {
            TXL_SKIP_IF(PeProgram, "this test program is a PE file");
            QVERIFY(
                QFile::exists(Path = QCoreApplication::applicationFilePath() + ".noversion")); // made with it
        } else if (Path.startsWith("@pe:")) {
            SKIP_UNLESS_MADE(Path.mid(4) + ".exe");
            Path = TestFile(Path.mid(4) + ".exe");
        }

        const auto About = Path == "@own" ? std::make_unique<TfrmAbout>() : std::make_unique<TfrmAbout>(Path);
        QCOMPARE(Values(About.get()), Expected);
        // Sized to the new text, not cut off at the design width; the fixed boxes' texts fit them in
        // the fonts actually used.
        for (const char *Name : {"lblFileVersion", "lblCopyRight"}) {
            const QLabel *L = Label(About.get(), Name);
            QVERIFY2(L->width() >= L->fontMetrics().horizontalAdvance(L->text()), Name);
        }
        for (const char *Name : {"lblProductName", "lblComments"}) {
            const QLabel *L = Label(About.get(), Name);
            QVERIFY2(L->heightForWidth(L->width()) <= L->height(), Name);
        }
    }

    void layout()
    {
        // A scheme where button face and window differ, as many desktop themes have.
        const QPalette Saved = QApplication::palette();
        QPalette Scheme = Saved;
        Scheme.setColor(QPalette::Button, QColor(212, 208, 200));
        Scheme.setColor(QPalette::Window, QColor(255, 255, 255));
        QApplication::setPalette(Scheme);
        TfrmAbout About;
        QApplication::setPalette(Saved);
        QCOMPARE(About.windowTitle(), QStringLiteral("About"));
        QCOMPARE(About.minimumSize(), About.maximumSize());
        QVERIFY(!(About.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(About.windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(About.palette().color(QPalette::Window), QColor(212, 208, 200));
        QCOMPARE(About.font().pointSize(), 8);

        const auto *Panel = About.findChild<QFrame *>("Panel1");
        QVERIFY(Panel);
        const auto *OK = About.findChild<QPushButton *>("OKButton");
        QVERIFY(OK);
        QCOMPARE(OK->text(), QStringLiteral("OK"));
        QVERIFY(OK->isDefault());
        QCOMPARE(About.findChildren<QPushButton *>().size(), 1); // no cancel button

        // The labels, all on the panel; bold 9 pt in navy, green and the window-text colour, the rest
        // in the dialog's font.
        const QColor Plain = About.palette().color(QPalette::WindowText), Navy(0, 0, 128), Green(0, 128, 0);
        const struct {
            const char *Name;
            const char *Text; // nullptr: a value label
            bool Bold;
            QColor Colour;
        } Labels[] = {
            {"ProductName", "Product:", false, Plain},
            {"Version", "Version:", false, Plain},
            {"Copyright", "Copyright:", false, Plain},
            {"Comments", "Comments:", false, Plain},
            {"lblProductName", nullptr, true, Navy},
            {"lblFileVersion", nullptr, true, Green},
            {"lblCopyRight", nullptr, true, Plain},
            {"lblComments", nullptr, false, Plain},
            {"Label1", "support@tervix.example", true, Plain},
        };
        for (const auto &Item : Labels) {
            const QLabel *L = Label(&About, Item.Name);
            QVERIFY2(L, Item.Name);
            QCOMPARE(L->parentWidget(), static_cast<const QWidget *>(Panel));
            QVERIFY2(Panel->rect().contains(L->geometry()), Item.Name);
            if (Item.Text)
                QCOMPARE(L->text(), QString::fromUtf8(Item.Text));
            QCOMPARE(L->font().bold(), Item.Bold);
            QCOMPARE(L->font().pointSize(), Item.Bold ? 9 : 8);
            QCOMPARE(L->font().family(), About.font().family());
            QCOMPARE(L->palette().color(QPalette::WindowText), Item.Colour);
        }

        // Qt's notice and where the licence texts are, as the LGPL asks, beside the OK button;
        // each of its two lines whole within its box.
        const QLabel *Notice = Label(&About, "lblQtNotice");
        QVERIFY(Notice);
        QVERIFY(Notice->geometry().right() < OK->x());
        const QStringList Lines = Notice->text().split(QLatin1Char('\n'));
        QCOMPARE(Lines.size(), 2);
        QCOMPARE(Lines[0],
                 QStringLiteral("Qt %1 © The Qt Company Ltd.").arg(QString::fromLatin1(qVersion())));
        QVERIFY2(Lines[1].startsWith(QStringLiteral("(L)GPL 3: ")), qPrintable(Lines[1]));
        for (const QString &Line : Lines)
            QVERIFY2(Notice->fontMetrics().horizontalAdvance(Line) <= Notice->width(), qPrintable(Line));
        QVERIFY(2 * Notice->fontMetrics().lineSpacing() <= Notice->height());

        QVERIFY(Label(&About, "lblProductName")->wordWrap());
        QVERIFY(Label(&About, "lblComments")->wordWrap());
        QVERIFY(Label(&About, "Label1")->alignment() & Qt::AlignHCenter);
    }

    void endsOfAShowing_data()
    {
        QTest::addColumn<QString>("Ending");
        QTest::addColumn<int>("Result");
        QTest::newRow("Enter key") << "Return" << int(QDialog::Accepted);
        QTest::newRow("OK button") << "OKButton" << int(QDialog::Accepted);
        QTest::newRow("close box") << "close" << int(QDialog::Rejected);
        // No cancel button: Escape leaves it open, and Enter then ends it.
        QTest::newRow("Escape, then Enter") << "Escape" << int(QDialog::Accepted);
    }
    void endsOfAShowing()
    {
        QFETCH(QString, Ending);
        QFETCH(int, Result);
        TfrmAbout About;
        QVERIFY(!About.isVisible());
        QString Focus;
        bool OpenAfterEscape = false;
        QPoint Offset(999, 999);
        const int Got = ExecAbout(About, [&](QWidget *Modal) {
            // On a real window system the box may be shown a moment before it is activated.
            static_cast<void>(QTest::qWaitFor([] { return QApplication::focusWidget() != nullptr; }, 2000));
            if (QWidget *F = QApplication::focusWidget())
                Focus = F->objectName();
            const QRect Screen = Modal->screen()->availableGeometry();
            Offset = Modal->frameGeometry().center() - Screen.center();
            if (Ending == "Escape") {
                QTest::keyClick(Modal, Qt::Key_Escape);
                OpenAfterEscape = Modal->isVisible();
            }
            EndDialog(Modal, Ending == "Escape" ? "Return" : Ending);
        });
        QCOMPARE(Got, Result);
        QVERIFY(!About.isVisible());
        QVERIFY(Ending != "Escape" || OpenAfterEscape);
        QCOMPARE(Focus, QStringLiteral("OKButton"));
        QVERIFY2(qAbs(Offset.x()) <= 1 && qAbs(Offset.y()) <= 1, "not centred on the screen");
    }

    // The texts come from the file as it was when the box was created; each
    // later showing shows them again, even when the file has changed since.
    void textsAreReadOnce()
    {
        SKIP_UNLESS_MADE("before.exe");
        // A copy of its own, as the file changes.
        const QString Path = FDir->filePath("once.exe"), Later = TestFile("after.exe");
        QVERIFY(QFile::copy(TestFile("before.exe"), Path));
        TfrmAbout About(Path);
        const QStringList AtCreation = Values(&About);
        QCOMPARE(AtCreation, QStringList({"Before", "4.3.2.1", "Maker", "First"}));
        QVERIFY(WriteWholeFile(Path, ReadWholeFile(Later)));
        const TfrmAbout Fresh(Path); // the file did change
        QCOMPARE(Values(&Fresh), QStringList({"After", "5.0.0.0", "Other", "Second"}));

        QList<QStringList> Seen;
        for (int Showing = 0; Showing < 2; ++Showing) {
            const int Got = ExecAbout(About, [&](QWidget *Modal) {
                Seen << Values(Modal);
                QTest::keyClick(Modal, Qt::Key_Return);
            });
            QCOMPARE(Got, int(QDialog::Accepted));
        }
        QCOMPARE(Seen, QList<QStringList>({AtCreation, AtCreation}));
    }

    // The help button shows the box modally over the main window, as often as asked.
    void helpButtonOpensTheBox_data() { LabOnly(__func__, "one card", "lab_link txa1 10.78.1.1/24"); }
    void helpButtonOpensTheBox()
    {
        QTRY_COMPARE(UsableInterfaces(), 1);
        TForms F;
        TfrmAbout About(&F.Main);
        frmAbout = &About;
        F.Main.show();
        QTRY_COMPARE(F.Panel(0), QStringLiteral("Интерфейс: 10.78.1.1"));
        const QString Status = F.Panel(1);

        for (int Press = 0; Press < 2; ++Press) {
            QStringList Texts;
            bool Modal = false, MainBehind = false;
            TModalDriver Driver([&](QWidget *Shown) {
                Texts = Values(Shown);
                Modal = Shown == &About && About.isModal();
                MainBehind = F.Main.isVisible() && QApplication::activeModalWidget() == &About;
                QTest::keyClick(Shown, Qt::Key_Return);
            });
            const QObject Guard;
            QTimer::singleShot(10000, &Guard, [&About] { About.done(-1); });
            QTest::mouseClick(F.Button("btnHelp"), Qt::LeftButton);
            // The click returns once the box has been closed again.
            QVERIFY(Driver.Done());
            QCOMPARE(Driver.ModalClass(), QStringLiteral("TfrmAbout"));
            QVERIFY(Modal);
            QVERIFY(MainBehind);
            QCOMPARE(Texts, OwnValues());
            QVERIFY(!About.isVisible());
            QCOMPARE(About.result(), int(QDialog::Accepted));
        }
        QVERIFY(F.Main.isVisible());
        QCOMPARE(F.Panel(1), Status);
        QCOMPARE(F.Panel(0), QStringLiteral("Интерфейс: 10.78.1.1"));
    }
};

QTEST_MAIN(TestUiAbout)
#include "tst_ui_about.moc"
