#include "Outcome.h"

#include "TftpPacket.h"

#include <initializer_list>
#include <iterator>
#include <optional>

const char StatusReady[] = "Статус: Готов";
const char StatusLoading[] = "Статус: ЗАГРУЗКА";

namespace {

// Longest device message shown, in characters after escaping.
constexpr std::size_t MaxShownMessage = 120;

// Pattern with %1 … %9 replaced by Args.
std::string Fill(std::string_view Pattern, std::initializer_list<std::string> Args)
{
    std::string Text;
    for (std::size_t i = 0; i < Pattern.size(); ++i) {
        const std::size_t Index = i + 1 < Pattern.size() ? std::size_t(Pattern[i + 1] - '1') : 9;
        if (Pattern[i] == '%' && Index < Args.size()) {
            Text += *std::next(Args.begin(), std::ptrdiff_t(Index));
            ++i;
        } else {
            Text += Pattern[i];
        }
    }
    return Text;
}

std::string N(long long Value)
{
    return std::to_string(Value);
}

std::string Ip(TIpv4 Address)
{
    return ipv4::Format(Address);
}

// Nothing could be sent through a fault of the system: port 69, the interface, a thread, the sends.
bool SystemStopped(const TUploadEvidence &Evidence)
{
    const TSetUp &SetUp = Evidence.SetUp;
    return SetUp.BindError != TBindError::None || SetUp.InterfaceError != 0 || SetUp.ReceiverError != 0 ||
           Evidence.SendError != 0;
}

// The result the status shows: nothing sent through the system's fault reads as a timeout, an
// address that names no device (or a request that cannot be made) as no answer of one.
TTftpResult ShownResult(TOutcome Outcome, const TUploadEvidence &Evidence)
{
    switch (Outcome) {
    case TOutcome::OK:
        return trOK;
    case TOutcome::DeviceError:
        return trDeviceError;
    case TOutcome::UnknownReply:
        return trUnknownError;
    case TOutcome::NotSent:
        return SystemStopped(Evidence) && !Evidence.SetUp.AddressRefused() ? trTimeout : trUnknownError;
    case TOutcome::Timeout:
    case TOutcome::Interrupted:
        break;
    }
    return trTimeout;
}

// The status's word: the result shown, or the console's word for an upload cut short.
std::string StatusWord(TOutcome Outcome, TTftpResult Shown)
{
    if (Outcome == TOutcome::Interrupted)
        return "Прервано";
    switch (Shown) {
    case trOK:
        return "OK";
    case trTimeout:
        return "таймаут";
    case trDeviceError:
        return "ошибка устройства";
    case trUnknownError:
        break;
    }
    return "неизвестная ошибка";
}

// Why port 69 could not be taken on Local, in words the user can act on.
std::string BindFailureReason(const TSetUp &SetUp, TIpv4 LocalValue)
{
    const std::string Local = Ip(LocalValue);
    switch (SetUp.BindError) {
    case TBindError::InterfaceDown:
        return InterfaceOffReason(LocalValue);
    case TBindError::NoPermission:
        if (SetUp.BindHelper.empty())
            // Any user may bind port 69 there: another program holds it, or a policy forbids it.
            return "Система не дала программе UDP-порт 69: его держит для себя другая программа (например, "
                   "TFTP-сервер) или запрещает политика безопасности. Закройте такую программу и повторите "
                   "загрузку.";
        if (LocalValue == 0)
            return "Нет прав на UDP-порт 69 на всех адресах сразу. Перезапустите программу и выберите "
                   "интерфейс.";
        // Ports below 1024 need a capability; the helper binds the port on one interface's address.
        if (!SetUp.HelperRunnable)
            return Fill("Нет прав на UDP-порт 69. Порт для программы занимает помощник %1, а запускать его "
                        "могут только члены группы txloader. Добавьте пользователя в группу: sudo usermod "
                        "-aG txloader %2, затем войдите в систему заново.",
                        {SetUp.BindHelper, SetUp.User});
        return Fill("Нет прав на UDP-порт 69. Порт для программы занимает помощник %1, а ему нужно право на "
                    "порты до 1024: sudo setcap cap_net_bind_service=+ep %1",
                    {SetUp.BindHelper});
    case TBindError::AddressInUse:
        return Fill("UDP-порт 69 на адресе %1 занят другой программой (например, запущенным TFTP-сервером). "
                    "Закройте её и повторите загрузку.",
                    {Local});
    case TBindError::AddressNotAvailable:
        return Fill("Адреса %1 больше нет на этом компьютере. Перезапустите программу и выберите интерфейс "
                    "заново.",
                    {Local});
    case TBindError::Other:
    case TBindError::None:
        break;
    }
    return Fill("Не удалось занять UDP-порт 69 на адресе %1.", {Local});
}

// The system's refusal as a phrase that follows a colon.
std::string SystemSaid(const TSystemError &Error)
{
    const auto Is = [&Error](std::string_view Name) {
        return Error.Name == Name || Error.Name == "WSA" + std::string(Name);
    };
    const std::string Named = " (" + Error.Name + ")";
    if (Is("ENETUNREACH"))
        return "через этот интерфейс к такому адресу нет пути" + Named;
    if (Is("EHOSTUNREACH"))
        return "узел недоступен" + Named;
    if (Is("ENETDOWN"))
        return "сеть интерфейса отключена" + Named;
    if (Is("EPERM") || Is("EACCES"))
        return "отправку запретил брандмауэр или политика безопасности" + Named;
    if (Is("ENOBUFS"))
        return "системе не хватило буферов" + Named;
    if (Is("EMFILE"))
        return "программе не хватило дескрипторов файлов (" + Error.Name + "; их предел задаёт ulimit -n)";
    if (Is("ENFILE") || Is("ENOMEM"))
        return "системе не хватило ресурсов: " + Error.Text + Named;
    return Fill("%1 (код %2)", {Error.Text, N(Error.Code)});
}

std::string PacketName(unsigned Block)
{
    return Block == 0 ? std::string("запрос записи") : "блок " + N(Block);
}

// "a.b.c.d/n" for the interface that holds Local, when Device lies outside its subnet.
std::optional<std::string> SubnetOf(TIpv4 Local, const TDiagnosis &Diagnosis, TIpv4 Device)
{
    if (Local == 0 || Diagnosis.Netmask == 0 || (Local & Diagnosis.Netmask) == (Device & Diagnosis.Netmask))
        return std::nullopt;
    return Ip(Local) + "/" + N(ipv4::PrefixLength(Diagnosis.Netmask));
}

// What the device's answers show, when it answered at all.
std::optional<std::string> AnswerReason(const TUploadEvidence &Evidence, const std::string &Device)
{
    // A TFTP server answers a write request from a port of its own and waits
    // for the data there; the data goes to port 69, so it never sees it.
    if (Evidence.WrqReplyPort != 0 && Evidence.WrqReplyPort != tftp::Port && Evidence.BlocksAcked == 0)
        return Fill(
            "Устройство %1 ответило только на запрос записи, причём не с порта 69, а с порта %2, и не "
            "подтвердило ни одного блока данных: так отвечает обычный TFTP-сервер, а не устройство в "
            "режиме загрузки. Проверьте адрес устройства и переведите его в режим загрузки.",
            {Device, N(Evidence.WrqReplyPort)});
    // ACK 0 acknowledges the write request alone: a block is proven by its own number.
    if (Evidence.ZeroAcks > 0 && Evidence.BlocksAcked == 0)
        return Fill(
            "Устройство %1 подтверждает блоки номером 0 (ответов: %2 на блок %3), а не номером блока, "
            "поэтому приём образа подтвердить нельзя и загрузка не считается успешной. Проверьте, что "
            "устройство в режиме загрузки, и повторите.",
            {Device, N(Evidence.ZeroAcks), N(Evidence.Block)});
    // Only the block before, over and over: the device waits for this one, which never reached it.
    if (Evidence.StrayAcks > 0 && Evidence.RepeatedAcks == Evidence.StrayAcks)
        return Fill("Устройство %1 приняло %2 из %3 блоков, но блок %4 до него не дошёл: в ответ оно лишь "
                    "повторяло подтверждение блока %5 (ответов: %6). Проверьте кабель и питание устройства. "
                    "Устройство хранит неполный образ; повторите загрузку.",
                    {Device, N(Evidence.BlocksAcked), N(Evidence.Blocks), N(Evidence.Block),
                     N(Evidence.Block - 1), N(Evidence.RepeatedAcks)});
    if (Evidence.StrayAcks > 0)
        return Fill("Устройство %1 отвечало (ответов: %2), но ни один ответ не подтвердил %3: номера в его "
                    "подтверждениях (ACK) не совпадают с номерами отправленных блоков. Устройство хранит "
                    "неполный образ; повторите загрузку.",
                    {Device, N(Evidence.StrayAcks), PacketName(Evidence.Block)});
    if (Evidence.WrqReplyPort == 0)
        return std::nullopt;
    if (Evidence.BlocksAcked == 0)
        return Fill("Устройство %1 ответило на запрос записи, но не подтвердило ни одного блока данных. "
                    "Проверьте питание устройства и кабель и повторите загрузку.",
                    {Device});
    return Fill("Устройство %1 приняло %2 из %3 блоков и перестало отвечать на блоке %4: проверьте питание "
                "устройства и кабель. Устройство хранит неполный образ; повторите загрузку.",
                {Device, N(Evidence.BlocksAcked), N(Evidence.Blocks), N(Evidence.Block)});
}

// Why nothing could be sent at all, found before the first packet.
std::optional<std::string> SetUpReason(const TSetUp &SetUp, const TDiagnosis &Diagnosis, TIpv4 Local,
                                       TIpv4 DeviceValue)
{
    const std::string Device = Ip(DeviceValue);
    if (SetUp.AddressUnusable)
        return Fill("Адрес %1 не может принадлежать одному устройству (широковещательный, групповой или "
                    "зарезервированный): ничего не отправлено.",
                    {Device});
    if (SetUp.AddressIsOwn)
        return Fill("%1 — адрес этого компьютера%2, а не устройства: ничего не отправлено. Укажите IP-адрес "
                    "устройства.",
                    {Device, Diagnosis.DeviceInterface.empty()
                                 ? std::string()
                                 : " (интерфейс " + Diagnosis.DeviceInterface + ")"});
    if (SetUp.BindError != TBindError::None)
        return BindFailureReason(SetUp, Local);
    if (SetUp.InterfaceError != 0)
        return Fill("Не удалось направить пакеты только через интерфейс %1%2; ничего не отправлено.",
                    {Ip(Local), Diagnosis.InterfaceError.Code == 0
                                    ? std::string()
                                    : ": " + SystemSaid(Diagnosis.InterfaceError)});
    if (SetUp.ReceiverError != 0)
        return Fill("Не удалось запустить приём ответов (системе не хватило ресурсов: код %1); ничего не "
                    "отправлено. Закройте лишние программы и повторите загрузку.",
                    {N(SetUp.ReceiverError)});
    return std::nullopt;
}

std::string TimeoutReason(TOutcome Outcome, const TUploadEvidence &Evidence, const TDiagnosis &Diagnosis,
                          TIpv4 LocalValue, TIpv4 DeviceValue)
{
    const bool Any = LocalValue == 0;
    const std::string Local = Ip(LocalValue);
    const std::string Device = Ip(DeviceValue);
    if (Outcome == TOutcome::Interrupted)
        return Fill("Загрузка прервана: устройство %1 подтвердило %2 из %3 блоков и хранит неполный образ. "
                    "Повторите загрузку.",
                    {Device, N(Evidence.BlocksAcked), N(Evidence.Blocks)});
    // Removed in the middle of the upload: its sends fail for want of a route.
    if (!Any && !Diagnosis.AddressPresent) {
        TSetUp Gone;
        Gone.BindError = TBindError::AddressNotAvailable;
        return BindFailureReason(Gone, LocalValue);
    }
    if (!Any && Diagnosis.Link == TLinkState::Down)
        return InterfaceOffReason(LocalValue);
    if (!Any && Diagnosis.Link == TLinkState::NoCarrier)
        return Fill("У интерфейса %1 нет связи: кабель не подключён или устройство на другом его конце "
                    "выключено. Проверьте кабель и питание устройства.",
                    {Local});
    if (Evidence.SendError != 0) {
        TSystemError Said = Diagnosis.SendError;
        if (Said.Code == 0)
            Said.Code = Evidence.SendError;
        return Fill("Компьютер не смог отправить пакет на %1 %2: %3. Проверьте выбранный интерфейс и адрес "
                    "устройства.",
                    {Device, Any ? std::string("ни с одного интерфейса") : "с интерфейса " + Local,
                     SystemSaid(Said)});
    }
    // Datagrams from another address are no answer; the user may have typed
    // the address of another device, or someone on the link plays one.
    const std::string Strangers =
        Evidence.Foreign == 0
            ? std::string()
            : Fill("пакеты с адреса %1 (%2) не приняты: за устройство отвечает только оно само",
                   {Ip(Evidence.ForeignAddress), N(Evidence.Foreign)});
    if (Evidence.PortUnreachable > 0 && Evidence.BlocksAcked > 0)
        return Fill(
            "Устройство %1 приняло %2 из %3 блоков, а на блок %4 с его адреса пришёл ответ «порт "
            "недоступен»: устройство перестало принимать данные (перезапустилось или вышло из режима "
            "загрузки). Устройство хранит неполный образ; переведите его в режим загрузки и повторите "
            "загрузку.",
            {Device, N(Evidence.BlocksAcked), N(Evidence.Blocks), N(Evidence.Block)});
    if (Evidence.PortUnreachable > 0)
        return Fill(
            "С адреса %1 пришёл ответ «порт недоступен»: там никто не принимает данные на UDP-порт 69. "
            "Устройство включено, но не переведено в режим загрузки. Переведите его в режим загрузки и "
            "повторите.",
            {Device});
    if (const auto Answered = AnswerReason(Evidence, Device))
        return Strangers.empty() ? *Answered : *Answered + " Кроме того, " + Strangers + '.';
    if (!Strangers.empty())
        return Fill(
            "Устройство %1 не ответило; %2. Если устройство на самом деле имеет адрес %3, укажите этот "
            "адрес.",
            {Device, Strangers, Ip(Evidence.ForeignAddress)});
    // Bound to an interface, Linux looks for any address on its link by
    // ARP; outside the subnet with no gateway to it, that is no cable fault.
    const auto Subnet = SubnetOf(LocalValue, Diagnosis, DeviceValue);
    const char *const Outside =
        "Адрес %1 вне подсети интерфейса %2: проверьте адрес устройства или выберите другой интерфейс.";
    if (Subnet && !Diagnosis.GatewayLeadsThere)
        return Fill(Outside, {Device, *Subnet});
    if (Diagnosis.Neighbour == TNeighbourState::Resolving || Diagnosis.Neighbour == TNeighbourState::Failed)
        return Fill("Никто не ответил на запрос адреса %1 (ARP)%2: проверьте кабель, адрес устройства и что "
                    "устройство включено.",
                    {Device, Any ? std::string() : " на интерфейсе " + Local});
    if (Subnet)
        return Fill(Outside, {Device, *Subnet});
    return Fill(
        "Устройство %1 не ответило через %2. Обычные причины: устройство не переведено в режим "
        "загрузки; выбран не тот сетевой интерфейс или указан неверный IP-адрес устройства; брандмауэр "
        "отбрасывает пакеты UDP на порт 69.",
        {Device, Any ? std::string("любой интерфейс") : "интерфейс " + Local});
}

// The meaning of an ERROR's code, where the protocol gives one.
std::string ErrorCodeMeaning(int Code)
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
    return Code >= 0 && Code < int(std::size(Meanings)) ? Meanings[Code] : "";
}

std::string DeviceErrorReason(const TUploadEvidence &Evidence, const std::string &Device)
{
    std::string Code = "без кода";
    if (Evidence.DeviceErrorCode >= 0) {
        const std::string Meaning = ErrorCodeMeaning(Evidence.DeviceErrorCode);
        Code = "с кодом " + N(Evidence.DeviceErrorCode) +
               (Meaning.empty() ? std::string() : " (" + Meaning + ")");
    }
    const std::string Message = Evidence.DeviceErrorMessage.empty()
                                    ? std::string("без сообщения")
                                    : "и сообщением «" + DeviceErrorText(Evidence.DeviceErrorMessage) + "»";
    std::string Reason =
        Fill("Устройство %1 отказалось принять образ: на %2 оно ответило ошибкой TFTP %3 %4.",
             {Device, PacketName(Evidence.Block), Code, Message});
    if (Evidence.BlocksAcked > 0)
        Reason += Fill(" До этого оно приняло %1 из %2 блоков и хранит неполный образ.",
                       {N(Evidence.BlocksAcked), N(Evidence.Blocks)});
    return Reason;
}

} // namespace

TTelling Tell(TOutcome Outcome, const TUploadEvidence &Evidence, const TDiagnosis &Diagnosis, TIpv4 Local,
              TIpv4 Device)
{
    TTelling Told;
    Told.Shown = ShownResult(Outcome, Evidence);
    Told.Word = StatusWord(Outcome, Told.Shown);
    Told.Status = Outcome == TOutcome::Interrupted ? Told.Word : "Статус: " + Told.Word;
    if (const auto SetUp = SetUpReason(Evidence.SetUp, Diagnosis, Local, Device))
        Told.Reason = *SetUp;
    else if (Outcome == TOutcome::DeviceError)
        Told.Reason = DeviceErrorReason(Evidence, Ip(Device));
    else if (Outcome == TOutcome::Timeout || Outcome == TOutcome::Interrupted ||
             (Outcome == TOutcome::NotSent && SystemStopped(Evidence)))
        Told.Reason = TimeoutReason(Outcome, Evidence, Diagnosis, Local, Device);
    return Told;
}

std::string UnitText(TIpv4 Device, const std::optional<TMac> &Mac)
{
    if (Mac)
        return Fill("Загрузка шла в устройство %1 (%2).", {MacText(*Mac), Ip(Device)});
    return Fill("Загрузка шла в устройство с адресом %1; его MAC неизвестен: запись в таблице соседей (ARP) "
                "сменилась во время загрузки или не читается.",
                {Ip(Device)});
}

std::string DeviceErrorText(const std::string &Message)
{
    return tftp::ShownText(Message, MaxShownMessage);
}

std::string InterfaceOffReason(TIpv4 Local)
{
    return Fill("Интерфейс %1 выключен. Включите его и повторите загрузку.", {Ip(Local)});
}

std::string NoInterfaceReason()
{
    return "Не обнаружено ни одного сетевого интерфейса!";
}
