#include "TimeoutReason.h"

#include "InterfaceInfo.h"
#include "Neighbour.h"
#include "SystemAdvice.h"
#include "TftpPacket.h"

#include <bit>
#include <optional>

namespace {

std::optional<std::uint32_t> Parse(const QString &Dotted)
{
    return tftp::ParseDottedQuad(Dotted.toStdString());
}

// Why port 69 could not be taken, in words the user can act on.
QString BindFailureReason(TBindError Error, const QString &Local)
{
    switch (Error) {
    case TBindError::NoPermission:
        return NoPortPermissionAdvice(Local);
    case TBindError::AddressInUse:
        return QStringLiteral("UDP-порт 69 на адресе %1 занят другой программой (например, запущенным "
                              "TFTP-сервером). Закройте её и повторите загрузку.")
            .arg(Local);
    case TBindError::AddressNotAvailable:
        return QStringLiteral("Адреса %1 больше нет на этом компьютере. Перезапустите программу и выберите "
                              "интерфейс заново.")
            .arg(Local);
    case TBindError::Other:
    case TBindError::None:
        break;
    }
    return QStringLiteral("Не удалось занять UDP-порт 69 на адресе %1.").arg(Local);
}

// "a.b.c.d/n" for the interface that holds Local, when the system still lists it.
std::optional<QString> SubnetOf(const QString &Local, std::uint32_t Device)
{
    TNetInterfaceList List;
    List.SetUseDown(true);
    List.Refresh();
    for (int i = 0; i < List.Count(); ++i) {
        if (List.Strings(i) != Local)
            continue;
        const auto Address = Parse(Local), Mask = Parse(List.Objects(i)->Netmask);
        if (!Address || !Mask || (*Address & *Mask) == (Device & *Mask))
            return std::nullopt;
        return QStringLiteral("%1/%2").arg(Local).arg(std::popcount(*Mask));
    }
    return std::nullopt;
}

} // namespace

QString TimeoutReason(const TUploadEvidence &Evidence, const QString &LocalAddress,
                      const QString &DeviceAddress)
{
    const bool Any = LocalAddress.isEmpty();
    const QString Local = Any ? QStringLiteral("0.0.0.0") : LocalAddress;
    if (Evidence.BindError != TBindError::None)
        return BindFailureReason(Evidence.BindError, Local);
    if (Evidence.InterfaceNotKept)
        return QStringLiteral("Не удалось направить пакеты только через интерфейс %1; ничего не отправлено.")
            .arg(Local);
    if (Evidence.ReceiverError != 0)
        return QStringLiteral("Не удалось запустить приём ответов (системе не хватило ресурсов: код %1); "
                              "ничего не отправлено. Закройте лишние программы и повторите загрузку.")
            .arg(Evidence.ReceiverError);
    if (Evidence.SendError != 0)
        return QStringLiteral(
                   "Компьютер не смог отправить пакет на %1 %2: %3. Проверьте выбранный интерфейс и "
                   "адрес устройства.")
            .arg(DeviceAddress,
                 Any ? QStringLiteral("ни с одного интерфейса")
                     : QStringLiteral("с интерфейса %1").arg(Local),
                 SendErrorText(Evidence.SendError));
    if (Evidence.PortUnreachable > 0)
        return QStringLiteral(
                   "С адреса %1 пришёл ответ «порт недоступен»: там никто не принимает данные на "
                   "UDP-порт 69. Устройство включено, но не переведено в режим загрузки. Переведите "
                   "его в режим загрузки и повторите.")
            .arg(DeviceAddress);
    if (const auto Device = Parse(DeviceAddress)) {
        const TNeighbourState Neighbour = QueryNeighbour(Parse(LocalAddress).value_or(0), *Device);
        if (Neighbour == TNeighbourState::Resolving || Neighbour == TNeighbourState::Failed)
            return QStringLiteral("Никто не ответил на запрос адреса %1 (ARP)%2: проверьте кабель, адрес "
                                  "устройства и что устройство включено.")
                .arg(DeviceAddress, Any ? QString() : QStringLiteral(" на интерфейсе %1").arg(Local));
        if (const auto Subnet = Any ? std::nullopt : SubnetOf(Local, *Device))
            return QStringLiteral("Адрес %1 вне подсети интерфейса %2: проверьте адрес устройства или "
                                  "выберите другой интерфейс.")
                .arg(DeviceAddress, *Subnet);
    }
    return QStringLiteral("Устройство %1 не ответило через %2. Обычные причины: устройство не переведено в "
                          "режим загрузки; выбран не тот сетевой интерфейс или указан неверный IP-адрес "
                          "устройства; брандмауэр отбрасывает пакеты UDP на порт 69.")
        .arg(DeviceAddress,
             Any ? QStringLiteral("любой интерфейс") : QStringLiteral("интерфейс %1").arg(Local));
}
