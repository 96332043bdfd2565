#pragma once

#include <QMainWindow>
#include <QString>

#include "TftpResult.h"
#include "UdpSocket.h"

#include <memory>

namespace Ui {
class TfrmMain;
}
class QKeyEvent;
class QLabel;
class TTftpClient;

// Removes every blank (code 32); the other characters stay in their order.
QString RemoveSpaces(const QString &Text);

// The tool's only main window: settles the local interface when first shown,
// runs one upload per press of the load button and shows the outcome.
class TfrmMain : public QMainWindow
{
    Q_OBJECT
public:
    explicit TfrmMain(QWidget *parent = nullptr);
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
    void SetPanelText(int Index, const QString &Text);
    void ShowTimeoutReason(TTftpResult Result, TBindError BindError);

    std::unique_ptr<Ui::TfrmMain> ui;
    QLabel *FPanels[2] = {};
    QString FInterfaceAddress; // empty: any local address
    QString FDeviceAddress;
    bool FBusy = false;
    bool FShown = false;
    std::unique_ptr<TTftpClient> FTftpClient;
};

// The first window created; closing it ends the program.
extern TfrmMain *frmMain;
