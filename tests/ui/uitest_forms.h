#pragma once

// The two windows as start-up creates them, for the tests.

#include "LoadData.h"
#include "Main.h"
#include "SelectInterface.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

struct TForms {
    TfrmMain Main;
    TfrmSelectInterf Select{&Main};

    TForms()
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
    QString Panel(int Index) const
    {
        const QLabel *Label = Find<QLabel>(Index == 0 ? "sbrStatusPanel0" : "sbrStatusPanel1");
        return Label ? Label->text() : QStringLiteral("<no panel>");
    }
    QString PanelTip(int Index) const
    {
        const QLabel *Label = Find<QLabel>(Index == 0 ? "sbrStatusPanel0" : "sbrStatusPanel1");
        return Label ? Label->toolTip() : QStringLiteral("<no panel>");
    }
    QPushButton *Button(const char *Name) const { return Find<QPushButton>(Name); }
    QLineEdit *edtIP() const { return Find<QLineEdit>("edtIP"); }
};
