#include "Outcome.h"

#include "TimeoutReason.h"

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

QString FailureReason(TTftpResult Result, const TUploadEvidence &Evidence, const QString &LocalAddress,
                      const QString &DeviceAddress)
{
    if (Evidence.AddressUnusable)
        return QStringLiteral(
                   "Адрес %1 не может принадлежать одному устройству (широковещательный, групповой или "
                   "зарезервированный): ничего не отправлено.")
            .arg(DeviceAddress);
    return Result == trTimeout ? TimeoutReason(Evidence, LocalAddress, DeviceAddress) : QString();
}
