#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TfrmSelectInterf;
}
class QComboBox;

// Lets the user pick the local interface that faces the device. It has no
// logic of its own: the main window fills cbxInterfaces, shows it modally and
// reads the choice.
class TfrmSelectInterf : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmSelectInterf(QWidget *parent = nullptr);
    ~TfrmSelectInterf() override;

    QComboBox *cbxInterfaces() const;

protected:
    void showEvent(QShowEvent *Event) override;

private:
    std::unique_ptr<Ui::TfrmSelectInterf> ui;
};

// Created hidden at start-up, second after the main window; lives for the whole run.
extern TfrmSelectInterf *frmSelectInterf;
