#pragma once

// The image this build carries, as the device must receive it: the tests
// compare with this, never with a file, so they hold for any image.

#include "LoadData.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

inline QByteArray ImageBytes()
{
    return QByteArray(reinterpret_cast<const char *>(FirmwareImage), qsizetype(FirmwareSize));
}

inline QString ImageSha256()
{
    return QString::fromLatin1(QCryptographicHash::hash(ImageBytes(), QCryptographicHash::Sha256).toHex());
}
