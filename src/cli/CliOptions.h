#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What txloader-cli was asked to do.
struct TCliOptions {
    enum class TMode { Upload, List, Version, Help };
    TMode Mode = TMode::Upload;
    QStringList Interfaces; // addresses or system names, in the order given
    int WaitSeconds = 0;    // 0: the write request's usual three attempts
    bool Json = false;
    bool Quiet = false;
    QString Device; // as typed
};

// Exit statuses: the outcome of an upload, and the console's own.
enum TCliExit : int {
    ceOK = 0,
    ceTimeout = 1,
    ceDeviceError = 2,
    ceUnknownReply = 3,
    ceNotSent = 4,
    ceUsage = 64,
    ceInterrupted = 130,
};

// Options from the arguments (without the program name); on a usage error,
// nothing, with Error saying what is wrong in one line.
std::optional<TCliOptions> ParseCliOptions(const QStringList &Arguments, QString &Error);

// --help: the usage and the exit statuses.
QString CliHelpText();
