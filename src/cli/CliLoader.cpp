#include "CliLoader.h"

#include "CliOptions.h"
#include "Console.h"
#include "Ipv4.h"
#include "LoadData.h"
#include "LocalAddresses.h"
#include "Neighbour.h"
#include "Outcome.h"
#include "PolledUpload.h"
#include "SocketPoll.h"
#include "TftpPacket.h"
#include "UploadDriver.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace {

using TClock = TUploadMachine::TClock;

// How often a terminal's progress lines are redrawn.
constexpr int TickMs = 100;

// One device behind one interface, and its upload.
struct TRun {
    TLocalAddress Via;
    std::unique_ptr<TPolledUpload> Upload;
};

// What the command line asked for could not be had; Exit says whose fault that is.
struct TChoiceError {
    int Exit = ceUsage;
    QString Message;
};

void Say(const QString &Line)
{
    WriteText(TStream::Err, Line + QLatin1Char('\n'));
}

int UsageError(const QString &Message)
{
    Say(QStringLiteral("txloader-cli: %1 (см. txloader-cli --help)").arg(Message));
    return ceUsage;
}

QString Described(const TLocalAddress &Interface)
{
    return QStringLiteral("%1/%2 (%3)")
        .arg(ipv4::Text(Interface.Address))
        .arg(ipv4::PrefixLength(Interface.Netmask))
        .arg(Interface.Name.isEmpty() ? QStringLiteral("?") : Interface.Name);
}

QString Candidates(const std::vector<TLocalAddress> &Interfaces)
{
    if (Interfaces.empty())
        return QStringLiteral("ни одного");
    QStringList Names;
    for (const TLocalAddress &Interface : Interfaces)
        Names << Described(Interface);
    return Names.join(QStringLiteral(", "));
}

std::vector<TLocalAddress> Usable(const std::vector<TLocalAddress> &All)
{
    std::vector<TLocalAddress> Result;
    std::copy_if(All.begin(), All.end(), std::back_inserter(Result),
                 [](const auto &I) { return I.Usable(); });
    return Result;
}

int List()
{
    for (const TLocalAddress &Interface : Usable(LocalAddresses())) {
        const TLinkState State = QueryLinkState(Interface.Address);
        WriteText(TStream::Out, QStringLiteral("%1\t%2/%3\t%4\n")
                                    .arg(Interface.Name, ipv4::Text(Interface.Address))
                                    .arg(ipv4::PrefixLength(Interface.Netmask))
                                    .arg(State == TLinkState::NoCarrier ? QStringLiteral("нет связи")
                                                                        : QStringLiteral("включён")));
    }
    return ceOK;
}

int Version()
{
    WriteText(TStream::Out,
              QStringLiteral("txloader-cli %1\nОбраз: %2, %3 байт, SHA-256 %4%5\n")
                  .arg(QString::fromLatin1(Product::Version), QString::fromLatin1(FirmwareFileName))
                  .arg(FirmwareSize)
                  .arg(QString::fromLatin1(FirmwareSha256),
                       FirmwareIsPlaceholder ? QString::fromUtf8(TestImageMark) : QString()));
    return ceOK;
}

// The address of the card named Wanted (by address or by its system name) to upload through.
std::optional<TLocalAddress> Named(const QString &Wanted, const std::vector<TLocalAddress> &All, TIpv4 Device,
                                   TChoiceError &Error)
{
    const auto WantedAddress = ipv4::Parse(Wanted);
    std::vector<TLocalAddress> Card;
    std::copy_if(All.begin(), All.end(), std::back_inserter(Card), [&](const TLocalAddress &I) {
        return !I.IsLoopBack && !I.IsPPP && (WantedAddress ? I.Address == *WantedAddress : I.Name == Wanted);
    });
    if (Card.empty()) {
        Error.Message = QStringLiteral("нет интерфейса %1, через который можно загружать; есть: %2")
                            .arg(Wanted, Candidates(Usable(All)));
        return std::nullopt;
    }
    // A card named by its name may have several addresses: the one facing the device.
    const auto Holding =
        std::find_if(Card.begin(), Card.end(), [&](const auto &I) { return I.Holds(Device); });
    if (Holding == Card.end() && Card.size() > 1) {
        Error.Message =
            QStringLiteral("у интерфейса %1 несколько адресов, и ни в одной их подсети нет адреса %2; "
                           "укажите адрес интерфейса (--interface): %3")
                .arg(Wanted, ipv4::Text(Device), Candidates(Card));
        return std::nullopt;
    }
    const TLocalAddress Chosen = Holding == Card.end() ? Card.front() : *Holding;
    // Switched off: the state of the machine, not a wrong command line.
    if (!Chosen.IsUp) {
        Error = {ceNotSent, InterfaceOffReason(Chosen.Address)};
        return std::nullopt;
    }
    return Chosen;
}

// The interfaces to upload through; empty with Error when there are none to be had.
std::vector<TLocalAddress> Choose(const TCliOptions &Options, TIpv4 Device, TChoiceError &Error)
{
    const std::vector<TLocalAddress> All = LocalAddresses();
    std::vector<TLocalAddress> Chosen;
    for (const QString &Wanted : Options.Interfaces) {
        const std::optional<TLocalAddress> Found = Named(Wanted, All, Device, Error);
        if (!Found)
            return {};
        if (std::any_of(Chosen.begin(), Chosen.end(),
                        [&](const auto &I) { return I.Address == Found->Address; })) {
            Error.Message = QStringLiteral("интерфейс %1 задан дважды").arg(Wanted);
            return {};
        }
        Chosen.push_back(*Found);
    }
    if (!Chosen.empty())
        return Chosen;
    const std::vector<TLocalAddress> Up = Usable(All);
    if (Up.size() == 1)
        return Up;
    std::vector<TLocalAddress> Holding;
    std::copy_if(Up.begin(), Up.end(), std::back_inserter(Holding),
                 [&](const auto &I) { return I.Holds(Device); });
    if (Holding.size() == 1)
        return Holding;
    // An address that no card may upload to (multicast, this PC's own) is no question of which card.
    TUploadEvidence Refused;
    const bool NoCardMay = !Up.empty() && std::none_of(Up.begin(), Up.end(), [&](const auto &I) {
        return DeviceAddressUsable(Device, I.Address, Refused);
    });
    // No usable card faces the device, but a switched-off one would.
    const auto Off = std::find_if(All.begin(), All.end(), [&](const TLocalAddress &I) {
        return !I.IsUp && !I.IsLoopBack && !I.IsPPP && I.Holds(Device);
    });
    if (NoCardMay)
        Error = {ceNotSent, FailureReason(trUnknownError, Refused, 0, Device)};
    else if (Holding.empty() && Off != All.end())
        Error = {ceNotSent, InterfaceOffReason(Off->Address)};
    else if (Up.empty())
        Error = {ceNotSent, QStringLiteral("Не обнаружено ни одного сетевого интерфейса!")};
    else
        Error.Message = QStringLiteral("укажите интерфейс (--interface): адрес %1 %2; есть: %3")
                            .arg(ipv4::Text(Device),
                                 Holding.empty() ? QStringLiteral("не входит в подсеть ни одного")
                                                 : QStringLiteral("входит в подсети нескольких"),
                                 Candidates(Up));
    return {};
}

int ExitOf(const TPolledUpload &Upload)
{
    const TUploadEvidence Evidence = Upload.Evidence();
    if (Evidence.Interrupted)
        return ceInterrupted;
    if (Upload.Result() == trOK)
        return ceOK;
    if (Evidence.NotSent())
        return ceNotSent;
    switch (Upload.Result()) {
    case trTimeout:
        return ceTimeout;
    case trDeviceError:
        return ceDeviceError;
    default:
        return ceUnknownReply;
    }
}

QString OutcomeName(int Exit)
{
    switch (Exit) {
    case ceOK:
        return QStringLiteral("ok");
    case ceTimeout:
        return QStringLiteral("timeout");
    case ceDeviceError:
        return QStringLiteral("device-error");
    case ceUnknownReply:
        return QStringLiteral("unknown-reply");
    case ceNotSent:
        return QStringLiteral("not-sent");
    default:
        return QStringLiteral("interrupted");
    }
}

QString ProgressLine(const TRun &Run, const QString &Device, qint64 Ms)
{
    const TUploadProgress Now = Run.Upload->Progress();
    if (Now.AwaitingDevice && !Run.Upload->Done())
        return QStringLiteral("жду %1 … (включите устройство в режиме загрузки)").arg(Device);
    return QStringLiteral("%1 через %2: %3/%4 блоков, %5 байт, %6 с, повторов: %7")
        .arg(Device, ipv4::Text(Run.Via.Address))
        .arg(Now.BlocksAcked)
        .arg(Now.Blocks)
        .arg(Now.BytesAcked)
        .arg(double(Ms) / 1000, 0, 'f', 1)
        .arg(Now.Retries);
}

qint64 MsSince(TClock::time_point Start, TClock::time_point Now)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Now - Start).count();
}

int Upload(const TCliOptions &Options, int AttemptMs)
{
    const auto Device = ipv4::Parse(Options.Device);
    if (!Device)
        return UsageError(
            QStringLiteral("%1 — не IP-адрес (четыре числа от 0 до 255 через точку)").arg(Options.Device));
    const QString DeviceText = ipv4::Text(*Device);
    TChoiceError Error;
    const std::vector<TLocalAddress> Interfaces = Choose(Options, *Device, Error);
    if (Interfaces.empty()) {
        if (Error.Exit == ceUsage)
            return UsageError(Error.Message);
        Say(QStringLiteral("txloader: ") + Error.Message);
        return Error.Exit;
    }

    TPollWake Wake;
    CatchInterrupt(Wake);
    const bool Several = Interfaces.size() > 1;
    const bool Progress = !Options.Quiet && IsTerminal(TStream::Err);
    std::vector<TRun> Runs;
    std::vector<TPolledUpload *> Uploads;
    for (const TLocalAddress &Interface : Interfaces) {
        TRun Run{Interface, std::make_unique<TPolledUpload>(Interface.Address, FirmwareBytes(),
                                                            TUploadMachine::TMs(AttemptMs))};
        Run.Upload->SetWaitForDevice(std::chrono::seconds(Options.WaitSeconds));
        Uploads.push_back(Run.Upload.get());
        Runs.push_back(std::move(Run));
    }
    if (Options.WaitSeconds > 0 && !Progress && !Options.Quiet)
        Say(QStringLiteral("жду %1 … (включите устройство в режиме загрузки)").arg(DeviceText));
    const TClock::time_point Start = TClock::now();
    for (TPolledUpload *Upload : Uploads)
        Upload->Start(*Device, FirmwareFileName, TClock::now());
    const auto Ms = [Start](const TPolledUpload &Upload) {
        return MsSince(Start, Upload.Done() ? Upload.FinishedAt() : TClock::now());
    };
    bool Drawn = false;
    // The terminal's progress lines, redrawn in place.
    const auto Draw = [&] {
        QString Lines = Drawn ? QStringLiteral("\x1b[%1A").arg(Runs.size()) : QString();
        for (const TRun &Run : Runs)
            Lines += QStringLiteral("\r\x1b[K") + ProgressLine(Run, DeviceText, Ms(*Run.Upload)) +
                     QLatin1Char('\n');
        WriteText(TStream::Err, Lines);
        Drawn = true;
    };
    RunPolled(Uploads, Wake, Interrupted, Progress ? TickMs : 0,
              Progress ? std::function<void()>(Draw) : nullptr);

    int Exit = ceOK;
    bool JsonLost = false;
    for (const TRun &Run : Runs) {
        const int RunExit = ExitOf(*Run.Upload);
        if (Exit == ceOK)
            Exit = RunExit;
        const TUploadEvidence Evidence = Run.Upload->Evidence();
        const QString Who = Several ? Described(Run.Via) + QStringLiteral(": ") : QString();
        const QString Reason = FailureReason(Run.Upload->Result(), Evidence, Run.Via.Address, *Device);
        if (RunExit != ceOK || !Options.Quiet)
            Say(Who +
                (RunExit == ceInterrupted ? QStringLiteral("Прервано") : StatusText(Run.Upload->Result())));
        if (!Reason.isEmpty())
            Say(QStringLiteral("txloader: ") + Who + Reason);
        if (Options.Json) {
            const bool Refused = Run.Upload->Result() == trDeviceError;
            QJsonObject Line{
                {"device", DeviceText},
                {"interface", ipv4::Text(Run.Via.Address)},
                {"outcome", OutcomeName(RunExit)},
                {"exit", RunExit},
                {"blocks_acked", int(Evidence.BlocksAcked)},
                {"retries", int(Evidence.Retries)},
                {"ms", Ms(*Run.Upload)},
                {"image", QString::fromLatin1(FirmwareFileName)},
                {"image_bytes", qint64(FirmwareSize)},
                {"image_sha256", QString::fromLatin1(FirmwareSha256)},
                {"reason", Reason},
                {"device_error_code", Refused && Evidence.DeviceErrorCode >= 0
                                          ? QJsonValue(Evidence.DeviceErrorCode)
                                          : QJsonValue()},
                {"device_error_message",
                 Refused ? QJsonValue(DeviceErrorText(Evidence.DeviceErrorMessage)) : QJsonValue()}};
            // Said once: a test station that reads the JSON must not take its absence for no devices.
            if (!WriteText(TStream::Out,
                           QString::fromUtf8(QJsonDocument(Line).toJson(QJsonDocument::Compact)) +
                               QLatin1Char('\n')) &&
                !std::exchange(JsonLost, true))
                Say(QStringLiteral(
                    "txloader-cli: не удалось записать JSON в стандартный вывод (он закрыт или "
                    "его больше никто не читает)"));
        }
    }
    return Interrupted() ? ceInterrupted : Exit;
}

} // namespace

int RunCli(const QStringList &Arguments, int AttemptMs)
{
    HoldClosedStreams();
    QString Error;
    const std::optional<TCliOptions> Options = ParseCliOptions(Arguments, Error);
    if (!Options)
        return UsageError(Error);
    switch (Options->Mode) {
    case TCliOptions::TMode::Help:
        WriteText(TStream::Out, CliHelpText());
        return ceOK;
    case TCliOptions::TMode::List:
        return List();
    case TCliOptions::TMode::Version:
        return Version();
    case TCliOptions::TMode::Upload:
        break;
    }
    return Upload(*Options, AttemptMs);
}
