#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class TfrmAbout;
}

// Product name, version, copyright and comments from the version information
// of the running executable, read once when the dialog is created. A showing
// ends with OK, Enter or the close box; nobody asks which.
class TfrmAbout : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *parent = nullptr);
    // Reads ExeFileName instead of the running executable; lets the tests show
    // files with other or no version information.
    TfrmAbout(const QString &ExeFileName, QWidget *parent = nullptr);
    ~TfrmAbout() override;

protected:
    void showEvent(QShowEvent *Event) override;
    void keyPressEvent(QKeyEvent *Event) override;

private:
    void FormCreate();
    void FitLabelsToText();
    void MarkTestImage();

    std::unique_ptr<Ui::TfrmAbout> ui;
    QString FExeFileName;
};

// Created hidden at start-up, third after the main window and the selection
// dialog; lives for the whole run.
extern TfrmAbout *frmAbout;
