#pragma once

// Helpers for the version tests: real files made by real tools (the resource compiler and
// linker for PE files, objcopy for ELF variants) and the version table read as text.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

using TStringPairs = QList<QPair<QString, QString>>;

QByteArray ReadWholeFile(const QString &path);
bool WriteWholeFile(const QString &path, const QByteArray &data);
std::vector<std::uint8_t> ToBytes(const QByteArray &data);

// Runs a tool to its end (at most 60 s); on failure error holds its output.
bool RunTool(const QString &program, const QStringList &args, QString *error);

// Empty when the cross tools were not found at configure time; the reason otherwise.
QString MissingPeTools();

// Compiles rc text with the resource compiler and links it into a PE image at dir/name.exe.
// Returns the image's path, or empty with error set.
QString BuildPe(const QString &dir, const QString &name, const QString &rc, QString *error);

// A VERSIONINFO script with the given fixed file version ("2,5,10,300") and block body.
QString VersionRc(const QString &fileVersion, const QString &body);
// A StringFileInfo block with one string table per (table key, strings).
QString StringFileInfoRc(const QList<QPair<QString, TStringPairs>> &tables);
// A VarFileInfo block with the given "Translation" pairs ("0x0419, 0x04E3").
QString VarFileInfoRc(const QString &pairs);

// The [strings] section of the version table, in order.
TStringPairs VersionTableStrings();
