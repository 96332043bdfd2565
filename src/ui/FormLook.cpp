#include "FormLook.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QWidget>

QFont FormFont(const QString &Family)
{
    // The layouts were drawn for Tahoma (the About box for MS Sans Serif); the
    // fallbacks are sans faces of similar width with Cyrillic, so the labels
    // still fit their boxes.
    QStringList Families = {"Tahoma", "Liberation Sans", "Arimo", "Nimbus Sans", "DejaVu Sans"};
    Families.removeAll(Family);
    Families.prepend(Family);
    // Families installed by more than one foundry are listed as "Name [foundry]".
    QStringList Installed;
    for (const QString &Entry : QFontDatabase::families())
        Installed << Entry.section(QLatin1String(" ["), 0, 0);
    QFont Font;
    for (const QString &Candidate : std::as_const(Families)) {
        if (Installed.contains(Candidate, Qt::CaseInsensitive)) {
            Font.setFamily(Candidate);
            break;
        }
    }
    Font.setStyleHint(QFont::SansSerif);
    Font.setPointSize(8);
    return Font;
}

void FixFormFrame(QWidget *Form, const QSize &ClientSize, const QFont &Font)
{
    // Keep the kind of window (main window or dialog), replace its decorations.
    const Qt::WindowFlags Kind = Form->windowFlags() & Qt::WindowType_Mask;
    Form->setWindowFlags(Kind | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    Form->setFont(Font);
    Form->setFixedSize(ClientSize);
}

void CentreOnScreen(QWidget *Form)
{
    QScreen *Screen = Form->screen() ? Form->screen() : QGuiApplication::primaryScreen();
    if (!Screen)
        return;
    QRect Frame = Form->frameGeometry();
    Frame.moveCenter(Screen->availableGeometry().center());
    Form->move(Frame.topLeft());
}
