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

QString SwitchedOffReason(const QString &Local)
{
    return QStringLiteral("Интерфейс %1 выключен. Включите его и повторите загрузку.").arg(Local);
}

// Why port 69 could not be taken, in words the user can act on.
QString BindFailureReason(TBindError Error, const QString &Local)
{
    switch (Error) {
    case TBindError::InterfaceDown:
        return SwitchedOffReason(Local);
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

// "a.b.c.d/n" for the interface that holds Local, when the system still lists it
// and Device lies outside its subnet.
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

// What the device's answers show, when it answered at all.
std::optional<QString> AnswerReason(const TUploadEvidence &Evidence, const QString &Device)
{
    const QString Packet =
        Evidence.Block == 0 ? QStringLiteral("запрос записи") : QStringLiteral("блок %1").arg(Evidence.Block);
    // A TFTP server answers a write request from a port of its own and waits
    // for the data there; the data goes to port 69, so it never sees it.
    if (Evidence.WrqReplyPort != 0 && Evidence.WrqReplyPort != tftp::Port && !Evidence.NumberedAcks)
        return QStringLiteral("Устройство %1 ответило только на запрос записи, причём не с порта 69, а с "
                              "порта %2, и не подтвердило ни одного блока данных: так отвечает обычный "
                              "TFTP-сервер, а не устройство в режиме загрузки. Проверьте адрес устройства и "
                              "переведите его в режим загрузки.")
            .arg(Device)
            .arg(Evidence.WrqReplyPort);
    if (Evidence.StrayAcks > 0)
        return QStringLiteral(
                   "Устройство %1 отвечало (ответов: %2), но ни один ответ не подтвердил %3: номера "
                   "в его подтверждениях (ACK) не совпадают с номерами отправленных блоков. "
                   "Устройство хранит неполный образ; повторите загрузку.")
            .arg(Device)
            .arg(Evidence.StrayAcks)
            .arg(Packet);
    if (Evidence.WrqReplyPort == 0)
        return std::nullopt;
    if (Evidence.BlocksAcked == 0)
        return QStringLiteral("Устройство %1 ответило на запрос записи, но не подтвердило ни одного блока "
                              "данных. Проверьте питание устройства и кабель и повторите загрузку.")
            .arg(Device);
    return QStringLiteral("Устройство %1 приняло %2 из %3 блоков и перестало отвечать на блоке %4: "
                          "проверьте питание устройства и кабель. Устройство хранит неполный образ; "
                          "повторите загрузку.")
        .arg(Device)
        .arg(Evidence.BlocksAcked)
        .arg(Evidence.Blocks)
        .arg(Evidence.Block);
}

} // namespace

QString TimeoutReason(const TUploadEvidence &Evidence, const QString &LocalAddress,
                      const QString &DeviceAddress)
{
    const bool Any = LocalAddress.isEmpty();
    const QString Local = Any ? QStringLiteral("0.0.0.0") : LocalAddress;
    const std::optional<std::uint32_t> LocalValue = Parse(LocalAddress), DeviceValue = Parse(DeviceAddress);
    // "192.168.010.201" is 192.168.10.201; other programs read the zero as octal.
    const QString Device =
        DeviceValue ? QString::fromStdString(tftp::FormatDottedQuad(*DeviceValue)) : DeviceAddress;
    if (Evidence.BindError != TBindError::None)
        return BindFailureReason(Evidence.BindError, Local);
    if (Evidence.InterfaceNotKept)
        return QStringLiteral("Не удалось направить пакеты только через интерфейс %1; ничего не отправлено.")
            .arg(Local);
    if (Evidence.ReceiverError != 0)
        return QStringLiteral("Не удалось запустить приём ответов (системе не хватило ресурсов: код %1); "
                              "ничего не отправлено. Закройте лишние программы и повторите загрузку.")
            .arg(Evidence.ReceiverError);
    if (Evidence.Interrupted)
        return QStringLiteral(
                   "Загрузка прервана: устройство %1 подтвердило %2 из %3 блоков и хранит неполный "
                   "образ. Повторите загрузку.")
            .arg(Device)
            .arg(Evidence.BlocksAcked)
            .arg(Evidence.Blocks);
    switch (LocalValue ? QueryLinkState(*LocalValue) : TLinkState::Unknown) {
    case TLinkState::Down:
        return SwitchedOffReason(Local);
    case TLinkState::NoCarrier:
        return QStringLiteral("У интерфейса %1 нет связи: кабель не подключён или устройство на другом его "
                              "конце выключено. Проверьте кабель и питание устройства.")
            .arg(Local);
    case TLinkState::Up:
    case TLinkState::Unknown:
        break;
    }
    if (Evidence.SendError != 0)
        return QStringLiteral(
                   "Компьютер не смог отправить пакет на %1 %2: %3. Проверьте выбранный интерфейс и "
                   "адрес устройства.")
            .arg(Device,
                 Any ? QStringLiteral("ни с одного интерфейса")
                     : QStringLiteral("с интерфейса %1").arg(Local),
                 SendErrorText(Evidence.SendError));
    // Datagrams from another address are no answer; the user may have typed
    // the address of another device, or someone on the link plays one.
    const QString Strangers =
        Evidence.Foreign == 0
            ? QString()
            : QStringLiteral("пакеты с адреса %1 (%2) не приняты: за устройство отвечает только оно само")
                  .arg(Evidence.ForeignAddress)
                  .arg(Evidence.Foreign);
    if (Evidence.PortUnreachable > 0)
        return QStringLiteral(
                   "С адреса %1 пришёл ответ «порт недоступен»: там никто не принимает данные на "
                   "UDP-порт 69. Устройство включено, но не переведено в режим загрузки. Переведите "
                   "его в режим загрузки и повторите.")
            .arg(Device);
    if (const auto Answered = AnswerReason(Evidence, Device))
        return Strangers.isEmpty() ? *Answered
                                   : *Answered + QStringLiteral(" Кроме того, ") + Strangers + '.';
    if (!Strangers.isEmpty())
        return QStringLiteral("Устройство %1 не ответило; %2. Если устройство на самом деле имеет адрес %3, "
                              "укажите этот адрес.")
            .arg(Device, Strangers, Evidence.ForeignAddress);
    if (DeviceValue) {
        // Bound to an interface, Linux looks for any address on its link by
        // ARP; outside the subnet with no gateway to it, that is no cable fault.
        const auto Subnet = Any ? std::nullopt : SubnetOf(Local, *DeviceValue);
        const QString OutsideReason = QStringLiteral("Адрес %1 вне подсети интерфейса %2: проверьте адрес "
                                                     "устройства или выберите другой интерфейс.");
        if (Subnet && !GatewayLeadsTo(*LocalValue, *DeviceValue))
            return OutsideReason.arg(Device, *Subnet);
        const TNeighbourState Neighbour = QueryNeighbour(LocalValue.value_or(0), *DeviceValue);
        if (Neighbour == TNeighbourState::Resolving || Neighbour == TNeighbourState::Failed)
            return QStringLiteral("Никто не ответил на запрос адреса %1 (ARP)%2: проверьте кабель, адрес "
                                  "устройства и что устройство включено.")
                .arg(Device, Any ? QString() : QStringLiteral(" на интерфейсе %1").arg(Local));
        if (Subnet)
            return OutsideReason.arg(Device, *Subnet);
    }
    return QStringLiteral("Устройство %1 не ответило через %2. Обычные причины: устройство не переведено в "
                          "режим загрузки; выбран не тот сетевой интерфейс или указан неверный IP-адрес "
                          "устройства; брандмауэр отбрасывает пакеты UDP на порт 69.")
        .arg(Device, Any ? QStringLiteral("любой интерфейс") : QStringLiteral("интерфейс %1").arg(Local));
}
