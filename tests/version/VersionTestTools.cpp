#include "VersionTestTools.h"

#include <QDir>
#include <QFile>
#include <QProcess>

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

bool RunTool(const QString &program, const QStringList &args, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        *error = program + QStringLiteral(" did not run to its end");
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll());
        return false;
    }
    return true;
}

QString MissingPeTools()
{
    const bool missing =
        QByteArray(TXL_WINDRES).endsWith("NOTFOUND") || QByteArray(TXL_MINGW_LD).endsWith("NOTFOUND");
    return missing ? QStringLiteral("binutils-mingw-w64-x86-64 is not installed") : QString();
}

QString BuildPe(const QString &dir, const QString &name, const QString &rc, QString *error)
{
    const QString base = QDir(dir).filePath(name);
    if (!WriteWholeFile(base + ".rc", rc.toUtf8())) {
        *error = QStringLiteral("cannot write ") + base + ".rc";
        return {};
    }
    // The host preprocessor will do; the scripts need no Windows headers.
    if (!RunTool(QStringLiteral(TXL_WINDRES),
                 {"--preprocessor=cpp", "-O", "coff", "-i", base + ".rc", "-o", base + ".o"}, error) ||
        !RunTool(QStringLiteral(TXL_MINGW_LD), {"-o", base + ".exe", base + ".o"}, error)) {
        return {};
    }
    return base + ".exe";
}

namespace {

QString RcLiteral(const QString &text)
{
    QString out;
    bool wide = false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && c != QLatin1Char('"') && c != QLatin1Char('\\')) {
            out += c;
        } else {
            out += QStringLiteral("\\x%1").arg(unsigned{u}, 4, 16, QLatin1Char('0'));
            wide = true;
        }
    }
    return (wide ? QStringLiteral("L\"") : QStringLiteral("\"")) + out + QLatin1Char('"');
}

} // namespace

QString VersionRc(const QString &fileVersion, const QString &body)
{
    return QStringLiteral("1 VERSIONINFO\nFILEVERSION %1\nPRODUCTVERSION 1,0,0,0\nFILEOS 0x4\nFILETYPE 0x1\n"
                          "BEGIN\n%2END\n")
        .arg(fileVersion, body);
}

QString StringFileInfoRc(const QList<QPair<QString, TStringPairs>> &tables)
{
    QString rc = QStringLiteral("BLOCK \"StringFileInfo\"\nBEGIN\n");
    for (const auto &[key, strings] : tables) {
        rc += QStringLiteral("BLOCK \"%1\"\nBEGIN\n").arg(key);
        for (const auto &[name, value] : strings) {
            rc += QStringLiteral("VALUE \"%1\", %2\n").arg(name, RcLiteral(value));
        }
        rc += QStringLiteral("END\n");
    }
    return rc + QStringLiteral("END\n");
}

QString VarFileInfoRc(const QString &pairs)
{
    return QStringLiteral("BLOCK \"VarFileInfo\"\nBEGIN\nVALUE \"Translation\", %1\nEND\n").arg(pairs);
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
