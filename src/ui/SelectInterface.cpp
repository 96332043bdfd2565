#include "SelectInterface.h"
#include "ui_SelectInterface.h"

#include "FormLook.h"

#include <QStyle>

TfrmSelectInterf *frmSelectInterf = nullptr;

TfrmSelectInterf::TfrmSelectInterf(QWidget *parent) : QDialog(parent), ui(new Ui::TfrmSelectInterf)
{
    ui->setupUi(this);
    FixFormFrame(this, QSize(417, 167));
    ui->BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    ui->BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    // Escape and the close box reject on their own; Enter goes to the default button.
    ui->BitBtn1->setDefault(true);
}

TfrmSelectInterf::~TfrmSelectInterf() = default;

QComboBox *TfrmSelectInterf::cbxInterfaces() const
{
    return ui->cbxInterfaces;
}

void TfrmSelectInterf::showEvent(QShowEvent *Event)
{
    QDialog::showEvent(Event);
    CentreOnScreen(this);
    ui->cbxInterfaces->setFocus(Qt::OtherFocusReason);
}
