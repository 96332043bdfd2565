#pragma once

// Helpers for the version tests: whole files, the version table read as text, and the files
// tests/version/test_files.py made with real tools at build time (the resource compiler and
// linker for PE files, objcopy for ELF variants, pefile's reading of each PE file).

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>

#include <cstdint>
#include <vector>

using TStringPairs = QList<QPair<QString, QString>>;

QByteArray ReadWholeFile(const QString &path);
bool WriteWholeFile(const QString &path, const QByteArray &data);
std::vector<std::uint8_t> ToBytes(const QByteArray &data);

// Where the made file NAME ("generated.exe") is; the packages missing to make some, or empty.
QString TestFile(const QString &name);
QString MissingPackages();
// Skips the test when the file NAME is missing for want of a package, fails when it is otherwise.
#define SKIP_UNLESS_MADE(Name)                                                                               \
    if (!QFile::exists(TestFile(Name))) {                                                                    \
        QVERIFY2(!MissingPackages().isEmpty(),                                                               \
                 qPrintable(TestFile(Name) + QStringLiteral(" was not made")));                              \
        QSKIP(qPrintable(MissingPackages()));                                                                \
    }

// The [strings] section of the version table, in order.
TStringPairs VersionTableStrings();
