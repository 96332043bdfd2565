#pragma once

#include <QMainWindow>
#include <QString>

#include "TftpClient.h"
#include "TftpResult.h"

#include <memory>

namespace Ui {
class TfrmMain;
}
class QKeyEvent;
class QLabel;
class QToolButton;
class TInputGuard;
class TReasonBalloon;

// Removes every blank (code 32); the other characters stay in their order.
QString RemoveSpaces(const QString &Text);

// The tool's only main window: settles the local interface when first shown,
// runs one upload per press of the load button and shows the outcome.
class TfrmMain : public QMainWindow
{
    Q_OBJECT
public:
    // Limits: the uploads' limits, as the program's entry point gives them.
    explicit TfrmMain(const TUploadLimits &Limits, QWidget *parent = nullptr);
    ~TfrmMain() override;

    const QString &InterfaceAddress() const { return FInterfaceAddress; }
    const QString &DeviceAddress() const { return FDeviceAddress; }
    bool Busy() const { return FBusy; }

public slots:
    void btnLoadToBoardClick();
    void btnHelpClick();

protected:
    void showEvent(QShowEvent *Event) override;
    void closeEvent(QCloseEvent *Event) override;
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    void FormCreate();
    void FormShow();
    bool FormCloseQuery() const;
    void edtIPKeyPress(QKeyEvent *Key);
    void edtIPMouseUp();
    bool edtIPPaste(const QString &Text);
    bool edtIPContextMenu(const QPoint &GlobalPos);
    void SetPanelText(int Index, const QString &Text);
    void ShowReason(TTftpResult Shown, const QString &Reason, const QString &Unit);

    std::unique_ptr<Ui::TfrmMain> ui;
    // How long the reason for a timeout stays open by itself.
    static constexpr int ReasonShownMs = 20000;
    QLabel *FPanels[2] = {};
    QToolButton *FReasonMark = nullptr;
    TReasonBalloon *FReasonBalloon = nullptr;
    QString FInterfaceAddress; // empty: any local address
    TIpv4 FLocal = 0;          // the same, parsed once it is chosen
    QString FDeviceAddress;
    bool FBusy = false;
    bool FShown = false;
    TUploadLimits FLimits;
    TInputGuard *FInputGuard = nullptr;
    std::unique_ptr<TTftpClient> FTftpClient;
};

// The first window created; closing it ends the program.
extern TfrmMain *frmMain;
