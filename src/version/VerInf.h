#pragma once

#include "VersionBlock.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// Reads the version information of an executable file once, at construction, and answers
// from that copy. A file without any gives Valid() false and empty texts; nothing throws
// except running out of memory.
class TVersionInfo
{
public:
    explicit TVersionInfo(const QString &fileName);
    virtual ~TVersionInfo();

    bool Valid() const { return FValid; }
    QString ProductName() const;
    // Falls back to the fixed version numbers when the text is missing or empty.
    QString FileVersion() const;
    QString LegalCopyright() const;
    QString Comments() const;

    // The first translation as 8 capital hexadecimal digits ("041904E3"), or empty.
    QString Translation() const;
    // The text stored under key for the first translation, or empty.
    QString GetStringValue(const QString &key) const;
    // The fixed file version's most and least significant halves; false without a fixed record.
    bool GetFixedFileVersion(std::uint32_t &ms, std::uint32_t &ls) const;

private:
    struct TTranslation {
        std::uint16_t Language = 0;
        std::uint16_t CodePage = 0;
    };

    void LoadVersionInfo();
    std::optional<TTranslation> QueryTranslation() const;
    std::optional<TFixedFileInfo> QueryFixedInfo() const;

    QString FFileName;
    bool FValid = false;
    std::uint32_t FBlockSize = 0;
    std::vector<std::uint8_t> FBlock;
    std::uint32_t FHandle = 0;
};

// The four unsigned 16-bit parts of a fixed version, most significant first: "1.0.0.3".
QString FormatFileVersion(std::uint32_t ms, std::uint32_t ls);
