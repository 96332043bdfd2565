// Start-up: the main window first (closing it ends the program), then the
// hidden interface-selection dialog; both live until the end of the run.
#include "Main.h"
#include "SelectInterface.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication Application(argc, argv);
    Application.setApplicationName(QStringLiteral("TXLoader"));
    Application.setQuitOnLastWindowClosed(true);

    TfrmMain MainForm;
    frmMain = &MainForm;
    TfrmSelectInterf SelectForm(&MainForm);
    frmSelectInterf = &SelectForm;
    Application.setWindowIcon(MainForm.windowIcon());

    MainForm.show();
    const int ExitCode = Application.exec();
    frmSelectInterf = nullptr;
    frmMain = nullptr;
    return ExitCode;
}
