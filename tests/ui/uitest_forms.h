#pragma once

// The two windows as start-up creates them, a driver for modal windows opened
// inside nested event loops, and data rows, for the user-interface tests.

#include "DataRow.h"
#include "LoadData.h"
#include "Main.h"
#include "SelectInterface.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

#include <functional>

struct TForms {
    TfrmMain Main;
    TfrmSelectInterf Select{&Main};

    // The tool's own limits, or a shorter limit per attempt for the rows that wait one out.
    explicit TForms(int AttemptMs = TUploadMachine::AttemptMs)
        : Main(TUploadLimits{TUploadMachine::TMs(AttemptMs)})
    {
        frmMain = &Main;
        frmSelectInterf = &Select;
    }
    ~TForms()
    {
        frmSelectInterf = nullptr;
        frmMain = nullptr;
    }

    template <typename T = QWidget> T *Find(const char *Name) const { return Main.findChild<T *>(Name); }
    QString Panel(int Index, bool Tip = false) const
    {
        const QLabel *Label = Find<QLabel>(Index == 0 ? "sbrStatusPanel0" : "sbrStatusPanel1");
        return !Label ? QStringLiteral("<no panel>") : Tip ? Shown(Label->toolTip()) : Label->text();
    }
    // A panel's tooltip as the user reads it.
    QString PanelTip(int Index) const { return Panel(Index, true); }
    // Text as a label or tooltip in Format shows it: markup is drawn, not read.
    static QString Shown(const QString &Text, Qt::TextFormat Format = Qt::AutoText)
    {
        if (Format == Qt::PlainText || (Format == Qt::AutoText && !Qt::mightBeRichText(Text)))
            return Text;
        QTextDocument Document;
        Document.setHtml(Text);
        return Document.toPlainText();
    }
    QPushButton *Button(const char *Name) const { return Find<QPushButton>(Name); }
    QLineEdit *edtIP() const { return Find<QLineEdit>("edtIP"); }
    // Types Text into the emptied address field from its start.
    void TypeAddress(const QString &Text) const
    {
        edtIP()->clear();
        edtIP()->setCursorPosition(0);
        QTest::keyClicks(edtIP(), Text);
    }
};

namespace uitest {

// Ends a dialog as Ending says: "Return" or "Escape" pressed, "close" by its
// close box, otherwise the named button clicked.
inline void EndDialog(QWidget *Dialog, const QString &Ending)
{
    if (Ending == "Return" || Ending == "Escape")
        QTest::keyClick(Dialog, Ending == "Return" ? Qt::Key_Return : Qt::Key_Escape);
    else if (Ending == "close")
        Dialog->close();
    else
        QTest::mouseClick(Dialog->findChild<QPushButton *>(Ending), Qt::LeftButton);
}

// Acts once on the first visible modal window, from a timer, because the window is opened by exec() inside a
// nested event loop the test cannot see into. Gives up after TimeoutMs.
class TModalDriver : public QObject
{
public:
    using TAction = std::function<void(QWidget *Modal)>;

    explicit TModalDriver(TAction Action, int TimeoutMs = 10000)
        : FAction(std::move(Action)), FTicksLeft(TimeoutMs / TickMs), FTimer(startTimer(TickMs))
    {}

    bool Done() const { return FDone; }
    QString ModalClass() const { return FClass; }

private:
    static constexpr int TickMs = 20;

    void timerEvent(QTimerEvent *) override
    {
        QWidget *Modal = QApplication::activeModalWidget();
        if (Modal && Modal->isVisible()) {
            killTimer(FTimer);
            FClass = QString::fromLatin1(Modal->metaObject()->className());
            FDone = true;
            FAction(Modal);
        } else if (--FTicksLeft <= 0) {
            killTimer(FTimer);
        }
    }

    TAction FAction;
    int FTicksLeft = 0;
    int FTimer = 0;
    bool FDone = false;
    QString FClass;
};

// A TModalDriver action for a window of class T; any other modal window is closed.
template <typename T> TModalDriver::TAction On(const std::function<void(T *)> &Action)
{
    return [Action](QWidget *Modal) {
        if (auto *Window = qobject_cast<T *>(Modal))
            Action(Window);
        else
            Modal->close();
    };
}

} // namespace uitest
