#include "Outcome.h"

QString StatusText(TTftpResult Result)
{
    switch (Result) {
    case trOK:
        return QStringLiteral("Статус: OK");
    case trTimeout:
        return QStringLiteral("Статус: таймаут");
    case trDeviceError:
        return QStringLiteral("Статус: ошибка устройства");
    case trUnknownError:
        break;
    }
    return QStringLiteral("Статус: неизвестная ошибка");
}
