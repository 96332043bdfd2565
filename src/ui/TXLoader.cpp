// Start-up: the main window first (closing it ends the program), then the
// hidden interface-selection dialog and the hidden About box; all three live
// until the end of the run.
#include "About.h"
#include "Main.h"
#include "SelectInterface.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication Application(argc, argv);
    Application.setApplicationName(QStringLiteral("TXLoader"));
    Application.setQuitOnLastWindowClosed(true);

    TfrmMain MainForm(TUploadLimits{});
    frmMain = &MainForm;
    TfrmSelectInterf SelectForm(&MainForm);
    frmSelectInterf = &SelectForm;
    TfrmAbout AboutForm(&MainForm);
    frmAbout = &AboutForm;
    Application.setWindowIcon(MainForm.windowIcon());

    MainForm.show();
    const int ExitCode = Application.exec();
    frmAbout = nullptr;
    frmSelectInterf = nullptr;
    frmMain = nullptr;
    return ExitCode;
}
