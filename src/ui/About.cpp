#include "About.h"
#include "ui_About.h"

#include "FormLook.h"
#include "LoadData.h"
#include "VerInf.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPalette>

TfrmAbout *frmAbout = nullptr;

TfrmAbout::TfrmAbout(QWidget *parent) : TfrmAbout(QCoreApplication::applicationFilePath(), parent)
{
    if (FirmwareIsPlaceholder)
        MarkTestImage();
}

TfrmAbout::TfrmAbout(const QString &ExeFileName, QWidget *parent)
    : QDialog(parent), ui(new Ui::TfrmAbout), FExeFileName(ExeFileName)
{
    ui->setupUi(this);
    // The labels set only size and weight in the form file, so they take this family too.
    FixFormFrame(this, QSize(293, 240), FormFont(QStringLiteral("MS Sans Serif")));
    QPalette Colours = palette();
    Colours.setColor(QPalette::Window, Colours.color(QPalette::Button));
    setPalette(Colours);
    // From the product's facts, and the notice that the LGPL asks of a program that shows its
    // copyright: Qt's, and where the licence texts are.
    ui->Label1->setText(QString::fromUtf8(Product::Contact));
    ui->lblQtNotice->setText(QStringLiteral("Qt %1 © The Qt Company Ltd.\n(L)GPL 3: %2")
                                 .arg(QString::fromLatin1(qVersion()), QStringLiteral(TXL_LICENCE_TEXTS)));
    FormCreate();
}

TfrmAbout::~TfrmAbout() = default;

void TfrmAbout::FormCreate()
{
    // Released on every way out, also when a step throws (out of memory).
    const TVersionInfo Info(FExeFileName);
    if (Info.Valid()) {
        ui->lblProductName->setText(Info.ProductName());
        ui->lblFileVersion->setText(Info.FileVersion());
        ui->lblCopyRight->setText(Info.LegalCopyright());
        ui->lblComments->setText(Info.Comments());
    }
    FitLabelsToText();
}

void TfrmAbout::MarkTestImage()
{
    // A build with the placeholder must not pass for one with firmware. The
    // label grows to the panel's edge so the longer text keeps its two lines.
    QLabel *Label = ui->lblComments;
    Label->setText(Label->text() + QString::fromUtf8(TestImageMark));
    Label->resize(ui->Panel1->width() - Label->x() - 6, Label->height());
}

void TfrmAbout::FitLabelsToText()
{
    // Left and top stay where the layout puts them; lblProductName and
    // lblComments keep their boxes and wrap instead.
    for (QLabel *Label : {ui->ProductName, ui->Version, ui->Copyright, ui->Comments, ui->lblFileVersion,
                          ui->lblCopyRight, ui->Label1}) {
        const QPoint TopLeft = Label->pos();
        Label->adjustSize();
        Label->move(TopLeft);
    }
}

void TfrmAbout::showEvent(QShowEvent *Event)
{
    QDialog::showEvent(Event);
    CentreOnScreen(this);
    ui->OKButton->setFocus(Qt::OtherFocusReason);
}

void TfrmAbout::keyPressEvent(QKeyEvent *Event)
{
    // The box has no cancel button, so Escape has nothing to press.
    if (Event->key() == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier) {
        Event->accept();
        return;
    }
    QDialog::keyPressEvent(Event);
}
