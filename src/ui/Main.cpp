#include "Main.h"
#include "ui_Main.h"

#include "About.h"
#include "Diagnosis.h"
#include "FormLook.h"
#include "InputGuard.h"
#include "InterfaceInfo.h"
#include "Ipv4.h"
#include "LoadData.h"
#include "Outcome.h"
#include "ReasonBalloon.h"
#include "SelectInterface.h"
#include "TftpClient.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <cstdio>

TfrmMain *frmMain = nullptr;

QString RemoveSpaces(const QString &Text)
{
    QString Result = Text;
    Result.remove(QLatin1Char(' '));
    return Result;
}

namespace {

// The mask would fill a short group from the left ("192.168.0  .200");
// right-aligned groups ("192.168.  0.200") read more like an address.
QString PadGroups(const QString &Address)
{
    QStringList Groups = Address.split(QLatin1Char('.'));
    if (Groups.size() != 4)
        return Address;
    for (QString &Group : Groups)
        Group = Group.rightJustified(3, QLatin1Char(' '));
    return Groups.join(QLatin1Char('.'));
}

} // namespace

TfrmMain::TfrmMain(const TUploadLimits &Limits, QWidget *parent)
    : QMainWindow(parent), ui(new Ui::TfrmMain), FLimits(Limits)
{
    ui->setupUi(this);
    FixFormFrame(this, QSize(436, 203));

    QIcon Icon;
    for (int Size : {16, 32, 48})
        Icon.addFile(QStringLiteral(":/icon/TXLoader-%1.png").arg(Size), QSize(Size, Size));
    setWindowIcon(Icon);

    ui->btnClose->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    ui->btnHelp->setIcon(style()->standardIcon(QStyle::SP_DialogHelpButton));
    ui->btnHelp->setText(QStringLiteral(" ")); // glyph only; the form file drops a lone blank
    // A glyph says nothing to a screen reader.
    ui->btnHelp->setAccessibleName(QStringLiteral("О программе"));
    ui->btnHelp->setToolTip(QStringLiteral("О программе"));
    ui->Label2->adjustSize();

    ui->sbrStatus->setFixedHeight(19);
    ui->sbrStatus->setSizeGripEnabled(false);
    // The panels sit where their edges fall on whole screen pixels also at
    // 125 % and 150 % (multiples of 4): between pixels a frame line is lost.
    // Panel 1 takes the rest of the bar but for the reason mark: the longest
    // status ("Статус: неизвестная ошибка") needs more than 50 pixels.
    const QRect PanelRects[2] = {{4, 0, 160, 16}, {168, 0, 244, 16}};
    for (int i = 0; i < 2; ++i) {
        FPanels[i] = new QLabel(ui->sbrStatus);
        FPanels[i]->setObjectName(QStringLiteral("sbrStatusPanel%1").arg(i));
        FPanels[i]->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        FPanels[i]->setGeometry(PanelRects[i]);
    }
    // Why an upload timed out: a mark beside the status that opens the
    // reason, which also opens by itself when the timeout comes.
    FReasonMark = new QToolButton(ui->sbrStatus);
    FReasonMark->setObjectName(QStringLiteral("btnReason"));
    FReasonMark->setGeometry(416, 0, 16, 16);
    FReasonMark->setAutoRaise(true);
    FReasonMark->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    FReasonMark->setIconSize(QSize(12, 12));
    FReasonMark->setAccessibleName(QStringLiteral("Причина таймаута"));
    FReasonMark->hide();
    FReasonBalloon = new TReasonBalloon(this);
    connect(FReasonMark, &QToolButton::clicked, this, [this] {
        FReasonBalloon->Popup(FReasonMark->accessibleDescription(), FPanels[1], ReasonShownMs);
    });
    FPanels[0]->setText(QStringLiteral("Интерфейс: "));
    FPanels[1]->setText(QStringLiteral("Статус: "));

    connect(ui->btnLoadToBoard, &QPushButton::clicked, this, &TfrmMain::btnLoadToBoardClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->btnHelp, &QPushButton::clicked, this, &TfrmMain::btnHelpClick);
    ui->edtIP->installEventFilter(this);
    for (QPushButton *Button : {ui->btnLoadToBoard, ui->btnClose, ui->btnHelp})
        Button->installEventFilter(this);
    FInputGuard = new TInputGuard(this);
    QWidget::setTabOrder(ui->btnHelp, FReasonMark);

    FormCreate();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::FormCreate()
{
    setWindowTitle(windowTitle() + QStringLiteral(": ") + QString::fromLatin1(FirmwareFileName).left(14));
    if (FirmwareIsPlaceholder)
        setWindowTitle(windowTitle() + QString::fromUtf8(TestImageMark));
    FDeviceAddress = QString::fromLatin1(DefaultDeviceAddress);
    SetPanelText(1, QString::fromUtf8(StatusReady));
    ui->edtIP->setText(PadGroups(FDeviceAddress));
    ui->btnLoadToBoard->setFocus(Qt::OtherFocusReason);
}

void TfrmMain::showEvent(QShowEvent *Event)
{
    QMainWindow::showEvent(Event);
    if (FShown)
        return;
    FShown = true;
    CentreOnScreen(this);
    // Settle the interface once the window is on screen, so the dialog or the
    // message has the main window behind it.
    QTimer::singleShot(0, this, &TfrmMain::FormShow);
}

void TfrmMain::FormShow()
{
    {
        TNetInterfaceList List;
        List.Refresh();
        if (List.Count() == 0) {
            QMessageBox Box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(),
                            QString::fromStdString(NoInterfaceReason()), QMessageBox::Ok, this);
            Box.setObjectName(QStringLiteral("msgNoInterface"));
            Box.exec();
            close();
        } else if (List.Count() == 1) {
            FInterfaceAddress = List.Strings(0);
        } else {
            QComboBox *Items = frmSelectInterf ? frmSelectInterf->cbxInterfaces() : nullptr;
            if (Items) {
                Items->clear();
                for (int i = 0; i < List.Count(); ++i)
                    Items->addItem(List.Strings(i));
                Items->setCurrentIndex(0);
            }
            if (Items && frmSelectInterf->exec() == QDialog::Accepted)
                FInterfaceAddress = Items->currentText();
            else
                FInterfaceAddress.clear();
        }
    } // the list and its parameter objects are released here
    FLocal = ipv4::Parse(FInterfaceAddress.toStdString()).value_or(0);
    SetPanelText(0, QStringLiteral("Интерфейс: ") + FInterfaceAddress);
}

void TfrmMain::btnLoadToBoardClick()
{
    if (FBusy)
        return;
    FDeviceAddress = RemoveSpaces(ui->edtIP->displayText());
    // What the field holds is read here, once: the rest of the way the address is a value.
    const std::optional<TIpv4> Device = ipv4::Parse(FDeviceAddress.toStdString());

    FBusy = true;
    // Keys act on nothing until the upload is over, and the focus leaves the
    // controls: disabling them would push it on to the help button.
    FInputGuard->BeginBusy(this);
    if (QWidget *Focus = focusWidget())
        Focus->clearFocus();
    ui->btnLoadToBoard->setEnabled(false);
    ui->btnClose->setEnabled(false);
    ui->edtIP->setEnabled(false);
    ShowReason(trOK, QString(), QString());
    SetPanelText(1, QString::fromUtf8(StatusLoading));

    // A field that holds no address sends nothing: no more than an unknown reply to tell.
    TOutcome Outcome = TOutcome::UnknownReply;
    TUploadEvidence Evidence;
    QString Unit; // which unit answered, if one did
    if (Device) {
        FTftpClient = std::make_unique<TTftpClient>(FLocal, FirmwareBytes(), FLimits);
        FTftpClient->Upload(*Device, FirmwareFileName);
        Outcome = FTftpClient->Outcome();
        Evidence = FTftpClient->Evidence();
        if (FTftpClient->DeviceHeard())
            Unit = QString::fromStdString(UnitText(*Device, FTftpClient->DeviceMac()));
    }
    // Give the device a moment with the socket still open before it goes away;
    // events are deliberately not served here.
    QThread::msleep(500);
    FTftpClient.reset();
    // Clicks and keys given while the controls were disabled were not meant
    // for the enabled controls, however late they come.
    FInputGuard->EndBusy();

    FBusy = false;
    ui->btnLoadToBoard->setEnabled(true);
    ui->btnClose->setEnabled(true);
    ui->edtIP->setEnabled(true);
    // The next Space or Enter loads again.
    ui->btnLoadToBoard->setFocus(Qt::OtherFocusReason);

    // What the PC's tables say is read once the upload has failed, and only then.
    const TTelling Told =
        !Device ? Tell(Outcome, Evidence, {}, FLocal, 0)
                : Tell(Outcome, Evidence,
                       Outcome == TOutcome::OK
                           ? TDiagnosis()
                           : Diagnose(FLocal, *Device, Evidence.SendError, Evidence.SetUp.InterfaceError),
                       FLocal, *Device);
    // The reason comes first, so whoever hears of the new status finds it there.
    const QString Reason = QString::fromStdString(Told.Reason);
    ShowReason(Told.Shown, Reason, Unit);
    SetPanelText(1, QString::fromStdString(Told.Status));
    if (!Reason.isEmpty())
        FReasonBalloon->Popup(FReasonMark->accessibleDescription(), FPanels[1], ReasonShownMs);
}

void TfrmMain::ShowReason(TTftpResult Shown, const QString &Reason, const QString &Unit)
{
    // The status text stays one of four; the reason goes beside it: on the
    // panel's tooltip and mark, and as the panel's description for screen readers.
    FReasonBalloon->Dismiss();
    FReasonMark->setAccessibleName(Shown == trTimeout ? QStringLiteral("Причина таймаута")
                                                      : QStringLiteral("Причина ошибки"));
    // A device's words come inside the reason: a tooltip must not take them for markup.
    const auto Tip = [](const QString &Text) {
        return Text.isEmpty()
                   ? QString()
                   : QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(Text.toHtmlEscaped());
    };
    // The status panel names the unit too, after any upload the device answered.
    const QString Panel = Unit.isEmpty()     ? Reason
                          : Reason.isEmpty() ? Unit
                                             : Reason + QLatin1Char(' ') + Unit;
    FPanels[1]->setToolTip(Tip(Panel));
    FPanels[1]->setAccessibleDescription(Panel);
    FReasonMark->setToolTip(Tip(Reason));
    FReasonMark->setAccessibleDescription(Reason);
    FReasonMark->setVisible(!Reason.isEmpty());
    if (Reason.isEmpty())
        return;
    std::fprintf(stderr, "txloader: %s\n", qUtf8Printable(Reason));
    std::fflush(stderr);
}

void TfrmMain::btnHelpClick()
{
    if (!frmAbout)
        return;
    // A modal loop of its own would hold up the upload's loop, and with it
    // every packet and time limit, for as long as the box stays open.
    if (FBusy)
        frmAbout->open();
    else
        frmAbout->exec();
}

bool TfrmMain::FormCloseQuery() const
{
    return !FBusy;
}

void TfrmMain::closeEvent(QCloseEvent *Event)
{
    // The upload serves events while it waits, so the close box still works
    // then; closing would free the window under the running upload.
    if (FormCloseQuery()) {
        FReasonBalloon->Dismiss();
        Event->accept();
    } else {
        Event->ignore();
    }
}

bool TfrmMain::eventFilter(QObject *Watched, QEvent *Event)
{
    if (Watched == ui->edtIP) {
        // The mask takes a pasted text character by character, blanks included,
        // and would shift the digits into other groups: pastes are taken whole.
        switch (Event->type()) {
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent *>(Event)->matches(QKeySequence::Paste))
                return edtIPPaste(QGuiApplication::clipboard()->text(QClipboard::Clipboard));
            edtIPKeyPress(static_cast<QKeyEvent *>(Event));
            break;
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent *>(Event)->button() == Qt::MiddleButton)
                return edtIPPaste(QGuiApplication::clipboard()->text(QClipboard::Selection));
            QTimer::singleShot(0, this, &TfrmMain::edtIPMouseUp); // once the click has placed the cursor
            break;
        case QEvent::Drop: {
            auto *Drop = static_cast<QDropEvent *>(Event);
            Drop->acceptProposedAction();
            return edtIPPaste(Drop->mimeData()->text());
        }
        case QEvent::ContextMenu:
            return edtIPContextMenu(static_cast<QContextMenuEvent *>(Event)->globalPos());
        default:
            break;
        }
    } else if (Event->type() == QEvent::KeyPress) {
        // Enter presses a focused button, as on the desktops this tool is used on;
        // a plain main window leaves that to Space alone.
        auto *Button = qobject_cast<QPushButton *>(Watched);
        const auto *Key = static_cast<QKeyEvent *>(Event);
        if (Button && (Key->key() == Qt::Key_Return || Key->key() == Qt::Key_Enter) &&
            (Key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!Key->isAutoRepeat())
                Button->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(Watched, Event);
}

void TfrmMain::edtIPKeyPress(QKeyEvent *)
{
    // The mask already admits only digits; nothing more to check per key.
}

bool TfrmMain::edtIPPaste(const QString &Text)
{
    // A dotted address with blanks, tabs or line breaks around it replaces the
    // field; anything else leaves it as it was.
    if (const auto Address = ipv4::Parse(Text.trimmed().toStdString()))
        ui->edtIP->setText(PadGroups(QString::fromStdString(ipv4::Format(*Address))));
    return true;
}

bool TfrmMain::edtIPContextMenu(const QPoint &GlobalPos)
{
    // The field's own menu, with its Paste going the same way as Ctrl+V.
    std::unique_ptr<QMenu> Menu(ui->edtIP->createStandardContextMenu());
    for (QAction *Action : Menu->actions()) {
        if (Action->objectName() != QStringLiteral("edit-paste"))
            continue;
        disconnect(Action, nullptr, ui->edtIP, nullptr);
        connect(Action, &QAction::triggered, this,
                [this] { edtIPPaste(QGuiApplication::clipboard()->text(QClipboard::Clipboard)); });
    }
    Menu->exec(GlobalPos);
    return true;
}

void TfrmMain::edtIPMouseUp()
{
    // The cursor stays where the click put it, as in any field; only past the
    // last typed digit, where the mask would drop what follows, it goes back
    // to just after that digit (to the start of an empty field).
    QLineEdit *Edit = ui->edtIP;
    if (Edit->hasSelectedText())
        return;
    const QString Text = Edit->displayText();
    int AfterLastDigit = 0;
    for (int i = int(Text.size()); i > 0; --i) {
        if (Text.at(i - 1).isDigit()) {
            AfterLastDigit = i;
            break;
        }
    }
    if (Edit->cursorPosition() > AfterLastDigit)
        Edit->setCursorPosition(AfterLastDigit);
}

void TfrmMain::SetPanelText(int Index, const QString &Text)
{
    FPanels[Index]->setText(Text);
}
