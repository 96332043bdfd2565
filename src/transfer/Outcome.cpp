#include "Outcome.h"

#include "LocalAddresses.h"
#include "Neighbour.h"
#include "SystemAdvice.h"
#include "TftpPacket.h"

#include <optional>

namespace {

// Longest device message shown, in characters after escaping.
constexpr qsizetype MaxShownMessage = 120;

// Why port 69 could not be taken on Local, in words the user can act on.
QString BindFailureReason(TBindError Error, TIpv4 LocalValue)
{
    const QString Local = ipv4::Text(LocalValue);
    switch (Error) {
    case TBindError::InterfaceDown:
        return InterfaceOffReason(LocalValue);
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

QString PacketName(unsigned Block)
{
    return Block == 0 ? QStringLiteral("запрос записи") : QStringLiteral("блок %1").arg(Block);
}

// "a.b.c.d/n" for the interface that holds Local, when Device lies outside its subnet.
std::optional<QString> SubnetOf(const std::optional<TLocalAddress> &Local, TIpv4 Device)
{
    if (!Local || Local->Holds(Device))
        return std::nullopt;
    return QStringLiteral("%1/%2").arg(ipv4::Text(Local->Address)).arg(ipv4::PrefixLength(Local->Netmask));
}

// What the device's answers show, when it answered at all.
std::optional<QString> AnswerReason(const TUploadEvidence &Evidence, const QString &Device)
{
    // A TFTP server answers a write request from a port of its own and waits
    // for the data there; the data goes to port 69, so it never sees it.
    if (Evidence.WrqReplyPort != 0 && Evidence.WrqReplyPort != tftp::Port && Evidence.BlocksAcked == 0)
        return QStringLiteral("Устройство %1 ответило только на запрос записи, причём не с порта 69, а с "
                              "порта %2, и не подтвердило ни одного блока данных: так отвечает обычный "
                              "TFTP-сервер, а не устройство в режиме загрузки. Проверьте адрес устройства и "
                              "переведите его в режим загрузки.")
            .arg(Device)
            .arg(Evidence.WrqReplyPort);
    // ACK 0 acknowledges the write request alone: a block is proven by its own number.
    if (Evidence.ZeroAcks > 0 && Evidence.BlocksAcked == 0)
        return QStringLiteral("Устройство %1 подтверждает блоки номером 0 (ответов: %2 на блок %3), а не "
                              "номером блока, поэтому приём образа подтвердить нельзя и загрузка не "
                              "считается успешной. Проверьте, что устройство в режиме загрузки, и повторите.")
            .arg(Device)
            .arg(Evidence.ZeroAcks)
            .arg(Evidence.Block);
    if (Evidence.StrayAcks > 0)
        return QStringLiteral(
                   "Устройство %1 отвечало (ответов: %2), но ни один ответ не подтвердил %3: номера "
                   "в его подтверждениях (ACK) не совпадают с номерами отправленных блоков. "
                   "Устройство хранит неполный образ; повторите загрузку.")
            .arg(Device)
            .arg(Evidence.StrayAcks)
            .arg(PacketName(Evidence.Block));
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

QString TimeoutReason(const TUploadEvidence &Evidence, TIpv4 LocalValue, TIpv4 DeviceValue)
{
    const bool Any = LocalValue == 0;
    const QString Local = ipv4::Text(LocalValue);
    const QString Device = ipv4::Text(DeviceValue);
    if (Evidence.BindError != TBindError::None)
        return BindFailureReason(Evidence.BindError, LocalValue);
    // Out of descriptors, say: the system's fault, not the interface's.
    if (Evidence.InterfaceLookupError != 0)
        return QStringLiteral("Система не назвала интерфейс адреса %1: %2; ничего не отправлено.")
            .arg(Local, SendErrorText(Evidence.InterfaceLookupError));
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
    const std::optional<TLocalAddress> Interface = Any ? std::nullopt : LocalAddressOf(LocalValue);
    // Removed in the middle of the upload: its sends fail for want of a route.
    if (!Any && !Interface)
        return BindFailureReason(TBindError::AddressNotAvailable, LocalValue);
    switch (Any ? TLinkState::Unknown : QueryLinkState(LocalValue)) {
    case TLinkState::Down:
        return InterfaceOffReason(LocalValue);
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
                  .arg(ipv4::Text(Evidence.ForeignAddress))
                  .arg(Evidence.Foreign);
    if (Evidence.PortUnreachable > 0 && Evidence.BlocksAcked > 0)
        return QStringLiteral("Устройство %1 приняло %2 из %3 блоков, а на блок %4 с его адреса пришёл ответ "
                              "«порт недоступен»: устройство перестало принимать данные (перезапустилось или "
                              "вышло из режима загрузки). Устройство хранит неполный образ; переведите его в "
                              "режим загрузки и повторите загрузку.")
            .arg(Device)
            .arg(Evidence.BlocksAcked)
            .arg(Evidence.Blocks)
            .arg(Evidence.Block);
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
            .arg(Device, Strangers, ipv4::Text(Evidence.ForeignAddress));
    // Bound to an interface, Linux looks for any address on its link by
    // ARP; outside the subnet with no gateway to it, that is no cable fault.
    const auto Subnet = SubnetOf(Interface, DeviceValue);
    const QString OutsideReason = QStringLiteral("Адрес %1 вне подсети интерфейса %2: проверьте адрес "
                                                 "устройства или выберите другой интерфейс.");
    if (Subnet && !GatewayLeadsTo(LocalValue, DeviceValue))
        return OutsideReason.arg(Device, *Subnet);
    const TNeighbourState Neighbour = QueryNeighbour(LocalValue, DeviceValue);
    if (Neighbour == TNeighbourState::Resolving || Neighbour == TNeighbourState::Failed)
        return QStringLiteral("Никто не ответил на запрос адреса %1 (ARP)%2: проверьте кабель, адрес "
                              "устройства и что устройство включено.")
            .arg(Device, Any ? QString() : QStringLiteral(" на интерфейсе %1").arg(Local));
    if (Subnet)
        return OutsideReason.arg(Device, *Subnet);
    return QStringLiteral("Устройство %1 не ответило через %2. Обычные причины: устройство не переведено в "
                          "режим загрузки; выбран не тот сетевой интерфейс или указан неверный IP-адрес "
                          "устройства; брандмауэр отбрасывает пакеты UDP на порт 69.")
        .arg(Device, Any ? QStringLiteral("любой интерфейс") : QStringLiteral("интерфейс %1").arg(Local));
}

// The meaning of an ERROR's code, where the protocol gives one.
QString ErrorCodeMeaning(int Code)
{
    static const char *const Meanings[] = {
        "не определена",
        "файл не найден",
        "нарушение доступа",
        "диск полон или превышен объём",
        "недопустимая операция TFTP",
        "неизвестный идентификатор передачи",
        "файл уже существует",
        "нет такого пользователя",
    };
    return Code >= 0 && Code < int(std::size(Meanings)) ? QString::fromUtf8(Meanings[Code]) : QString();
}

QString DeviceErrorReason(const TUploadEvidence &Evidence, const QString &Device)
{
    QString Code = QStringLiteral("без кода");
    if (Evidence.DeviceErrorCode >= 0) {
        const QString Meaning = ErrorCodeMeaning(Evidence.DeviceErrorCode);
        Code = QStringLiteral("с кодом %1").arg(Evidence.DeviceErrorCode) +
               (Meaning.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(Meaning));
    }
    const QString Message =
        Evidence.DeviceErrorMessage.empty()
            ? QStringLiteral("без сообщения")
            : QStringLiteral("и сообщением «%1»").arg(DeviceErrorText(Evidence.DeviceErrorMessage));
    QString Reason =
        QStringLiteral("Устройство %1 отказалось принять образ: на %2 оно ответило ошибкой TFTP %3 %4.")
            .arg(Device, PacketName(Evidence.Block), Code, Message);
    if (Evidence.BlocksAcked > 0)
        Reason += QStringLiteral(" До этого оно приняло %1 из %2 блоков и хранит неполный образ.")
                      .arg(Evidence.BlocksAcked)
                      .arg(Evidence.Blocks);
    return Reason;
}

} // namespace

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

QString FailureReason(TTftpResult Result, const TUploadEvidence &Evidence, TIpv4 Local, TIpv4 Device)
{
    if (Evidence.AddressUnusable)
        return QStringLiteral(
                   "Адрес %1 не может принадлежать одному устройству (широковещательный, групповой или "
                   "зарезервированный): ничего не отправлено.")
            .arg(ipv4::Text(Device));
    if (Evidence.AddressIsOwn) {
        const std::optional<TLocalAddress> Own = LocalAddressOf(Device);
        return QStringLiteral("%1 — адрес этого компьютера%2, а не устройства: ничего не отправлено. Укажите "
                              "IP-адрес устройства.")
            .arg(ipv4::Text(Device),
                 Own && !Own->Name.isEmpty() ? QStringLiteral(" (интерфейс %1)").arg(Own->Name) : QString());
    }
    switch (Result) {
    case trTimeout:
        return TimeoutReason(Evidence, Local, Device);
    case trDeviceError:
        return DeviceErrorReason(Evidence, ipv4::Text(Device));
    case trOK:
    case trUnknownError:
        break;
    }
    return QString();
}

QString InterfaceOffReason(TIpv4 Local)
{
    return QStringLiteral("Интерфейс %1 выключен. Включите его и повторите загрузку.").arg(ipv4::Text(Local));
}

QString DeviceErrorText(const std::string &Message)
{
    QString Shown;
    for (const char Char : Message) {
        const auto Byte = static_cast<unsigned char>(Char);
        if (Byte == '\\')
            Shown += QStringLiteral("\\\\");
        else if (Byte >= 0x20 && Byte < 0x7F)
            Shown += QLatin1Char(Char);
        else
            Shown += QStringLiteral("\\x%1").arg(Byte, 2, 16, QLatin1Char('0'));
        if (Shown.size() > MaxShownMessage)
            return Shown.left(MaxShownMessage) + QStringLiteral("…");
    }
    return Shown;
}
