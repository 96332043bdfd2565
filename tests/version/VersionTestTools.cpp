#include "VersionTestTools.h"

#include <QFile>

QByteArray ReadWholeFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteWholeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

std::vector<std::uint8_t> ToBytes(const QByteArray &data)
{
    return {data.begin(), data.end()};
}

QString TestFile(const QString &name)
{
    return QStringLiteral(TXL_TEST_FILES "/") + name;
}

QString MissingPackages()
{
    return QString::fromUtf8(ReadWholeFile(TestFile(QStringLiteral("missing.txt"))));
}

TStringPairs VersionTableStrings()
{
    const QString text = QString::fromUtf8(ReadWholeFile(QStringLiteral(TXL_VERSION_TABLE)));
    TStringPairs strings;
    bool inStrings = false;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inStrings = line == QLatin1String("[strings]");
        } else if (inStrings && !line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            strings.append({line.left(eq).trimmed(), line.mid(eq + 1).trimmed()});
        }
    }
    return strings;
}
