#pragma once

#include <QFile>
#include <QTest>

namespace uitest {

// One data row: QTest::newRow(Name) << Values...
template <typename... T> void Row(const char *Name, const T &...Values)
{
    (QTest::newRow(Name) << ... << Values);
}

// A row that needs something on the Linux side before it starts: Lab is a line of shell over
// tests/lab.sh that tests/common/rows.sh runs in the row's own namespace before the program, which
// then only observes. DataFunction is the data function's __func__. With -datatags the program
// lists the line in the file TXL_LAB_LIST names.
template <typename... T>
void LabRow(const char *DataFunction, const char *Name, const QString &Lab, const T &...Values)
{
    QFile List(qEnvironmentVariable("TXL_LAB_LIST"));
    if (!List.fileName().isEmpty() && List.open(QIODevice::Append))
        List.write(QByteArray(DataFunction).chopped(5) + '\t' + Name + '\t' + Lab.toUtf8() + '\n');
    Row(Name, Values...);
}

// The one row of a test that needs nothing but its lab line (QtTest wants a column).
inline void LabOnly(const char *DataFunction, const char *Name, const QString &Lab)
{
    QTest::addColumn<QString>("lab");
    LabRow(DataFunction, Name, Lab, Lab);
}

} // namespace uitest
