#include "VerInf.h"

#include "VersionSource.h"

namespace {

// A query path fits a 256-character buffer with its terminator; a longer one matches nothing.
constexpr qsizetype MaxPathLength = 255;

} // namespace

TVersionInfo::TVersionInfo(const QString &fileName) : FFileName(fileName)
{
    LoadVersionInfo();
}

TVersionInfo::~TVersionInfo() = default;

void TVersionInfo::LoadVersionInfo()
{
    FValid = false;
    FBlockSize = VersionInfoSize(FFileName, FHandle);
    if (FBlockSize == 0) {
        return;
    }
    FBlock.assign(FBlockSize, 0); // bad_alloc goes to the caller with FValid still false
    FValid = ReadVersionInfo(FFileName, FHandle, FBlockSize, FBlock.data());
}

std::optional<TVersionInfo::TTranslation> TVersionInfo::QueryTranslation() const
{
    if (!FValid) {
        return std::nullopt;
    }
    const auto value = QueryVersionValue(FBlock, "\\VarFileInfo\\Translation");
    if (!value || value->Data.size() < 4) {
        return std::nullopt;
    }
    const auto &d = value->Data;
    return TTranslation{static_cast<std::uint16_t>(d[0] | (d[1] << 8)),
                        static_cast<std::uint16_t>(d[2] | (d[3] << 8))};
}

std::optional<TFixedFileInfo> TVersionInfo::QueryFixedInfo() const
{
    if (!FValid) {
        return std::nullopt;
    }
    const auto value = QueryVersionValue(FBlock, "\\");
    return value ? ParseFixedFileInfo(*value) : std::nullopt;
}

bool TVersionInfo::GetFixedFileVersion(std::uint32_t &ms, std::uint32_t &ls) const
{
    const auto fixed = QueryFixedInfo();
    if (!fixed) {
        return false;
    }
    ms = fixed->FileVersionMS;
    ls = fixed->FileVersionLS;
    return true;
}

QString TVersionInfo::Translation() const
{
    const auto t = QueryTranslation();
    if (!t) {
        return {};
    }
    const std::uint32_t value = std::uint32_t{t->Language} << 16 | t->CodePage;
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

QString TVersionInfo::GetStringValue(const QString &key) const
{
    if (!FValid) {
        return {};
    }
    const QString path = QStringLiteral("\\StringFileInfo\\") + Translation() + QLatin1Char('\\') + key;
    if (path.size() > MaxPathLength) {
        return {};
    }
    const auto text = QueryVersionText(FBlock, path.toStdString());
    return text ? QString::fromStdString(*text) : QString();
}

QString TVersionInfo::ProductName() const
{
    return GetStringValue(QStringLiteral("ProductName"));
}

QString TVersionInfo::FileVersion() const
{
    QString text = GetStringValue(QStringLiteral("FileVersion"));
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    if (text.isEmpty() && FValid && GetFixedFileVersion(ms, ls)) {
        text = FormatFileVersion(ms, ls);
    }
    return text;
}

QString TVersionInfo::LegalCopyright() const
{
    return GetStringValue(QStringLiteral("LegalCopyright"));
}

QString TVersionInfo::Comments() const
{
    return GetStringValue(QStringLiteral("Comments"));
}

QString FormatFileVersion(std::uint32_t ms, std::uint32_t ls)
{
    return QStringLiteral("%1.%2.%3.%4").arg(ms >> 16).arg(ms & 0xFFFF).arg(ls >> 16).arg(ls & 0xFFFF);
}
