#include "CliLoader.h"

#include "CliOptions.h"
#include "Console.h"
#include "Diagnosis.h"
#include "Ipv4.h"
#include "LoadData.h"
#include "LocalAddresses.h"
#include "Neighbour.h"
#include "Outcome.h"
#include "PolledUpload.h"
#include "SocketPoll.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
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
    std::string Message;
};

void Say(const std::string &Line)
{
    WriteText(TStream::Err, Line + '\n');
}

int UsageError(const std::string &Message)
{
    Say("txloader-cli: " + Message + " (см. txloader-cli --help)");
    return ceUsage;
}

std::string Described(const TLocalAddress &Interface)
{
    return ipv4::Format(Interface.Address) + "/" + std::to_string(ipv4::PrefixLength(Interface.Netmask)) +
           " (" + (Interface.Name.empty() ? std::string("?") : Interface.Name) + ")";
}

std::string Candidates(const std::vector<TLocalAddress> &Interfaces)
{
    std::string Names;
    for (const TLocalAddress &Interface : Interfaces)
        Names += (Names.empty() ? "" : ", ") + Described(Interface);
    return Names.empty() ? std::string("ни одного") : Names;
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
        WriteText(TStream::Out, Interface.Name + "\t" + ipv4::Format(Interface.Address) + "/" +
                                    std::to_string(ipv4::PrefixLength(Interface.Netmask)) + "\t" +
                                    (State == TLinkState::NoCarrier ? "нет связи" : "включён") + "\n");
    }
    return ceOK;
}

int Version()
{
    WriteText(TStream::Out, std::string("txloader-cli ") + Product::Version + "\nОбраз: " + FirmwareFileName +
                                ", " + std::to_string(FirmwareSize) + " байт, SHA-256 " + FirmwareSha256 +
                                (FirmwareIsPlaceholder ? TestImageMark : "") + "\n");
    return ceOK;
}

// The address of the card named Wanted (by address or by its system name) to upload through.
std::optional<TLocalAddress> Named(const std::string &Wanted, const std::vector<TLocalAddress> &All,
                                   TIpv4 Device, TChoiceError &Error)
{
    const auto WantedAddress = ipv4::Parse(Wanted);
    std::vector<TLocalAddress> Card;
    std::copy_if(All.begin(), All.end(), std::back_inserter(Card), [&](const TLocalAddress &I) {
        return !I.IsLoopBack && !I.IsPPP && (WantedAddress ? I.Address == *WantedAddress : I.Name == Wanted);
    });
    if (Card.empty()) {
        Error.Message =
            "нет интерфейса " + Wanted + ", через который можно загружать; есть: " + Candidates(Usable(All));
        return std::nullopt;
    }
    // A card named by its name may have several addresses: the one facing the device.
    const auto Holding =
        std::find_if(Card.begin(), Card.end(), [&](const auto &I) { return I.Holds(Device); });
    if (Holding == Card.end() && Card.size() > 1) {
        Error.Message = "у интерфейса " + Wanted + " несколько адресов, и ни в одной их подсети нет адреса " +
                        ipv4::Format(Device) +
                        "; укажите адрес интерфейса (--interface): " + Candidates(Card);
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
    for (const std::string &Wanted : Options.Interfaces) {
        const std::optional<TLocalAddress> Found = Named(Wanted, All, Device, Error);
        if (!Found)
            return {};
        if (std::any_of(Chosen.begin(), Chosen.end(),
                        [&](const auto &I) { return I.Address == Found->Address; })) {
            Error.Message = "интерфейс " + Wanted + " задан дважды";
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
    // An address no card may upload to (multicast, this PC's own) is no question of which card.
    TUploadEvidence Refused;
    const bool NoCardMay = !Up.empty() && std::none_of(Up.begin(), Up.end(), [&](const TLocalAddress &I) {
        Refused.SetUp = CheckedAddress(Device, I.Address);
        return !Refused.SetUp.AddressRefused();
    });
    // No usable card faces the device, but a switched-off one would.
    const auto Off = std::find_if(All.begin(), All.end(), [&](const TLocalAddress &I) {
        return !I.IsUp && !I.IsLoopBack && !I.IsPPP && I.Holds(Device);
    });
    if (NoCardMay)
        Error = {ceNotSent, Tell(TOutcome::NotSent, Refused, Diagnose(0, Device, 0, 0), 0, Device).Reason};
    else if (Holding.empty() && Off != All.end())
        Error = {ceNotSent, InterfaceOffReason(Off->Address)};
    else if (Up.empty())
        Error = {ceNotSent, NoInterfaceReason()};
    else
        Error.Message =
            "укажите интерфейс (--interface): адрес " + ipv4::Format(Device) +
            (Holding.empty() ? " не входит в подсеть ни одного" : " входит в подсети нескольких") +
            "; есть: " + Candidates(Up);
    return {};
}

// The exit status of an outcome, in TOutcome's order.
int ExitOf(TOutcome Outcome)
{
    static const int Exits[] = {ceOK, ceTimeout, ceDeviceError, ceUnknownReply, ceNotSent, ceInterrupted};
    return Exits[int(Outcome)];
}

const char *OutcomeName(TOutcome Outcome)
{
    static const char *const Names[] = {"ok",       "timeout",    "device-error", "unknown-reply",
                                        "not-sent", "interrupted"};
    return Names[int(Outcome)];
}

std::string Waiting(const std::string &Device)
{
    return "жду " + Device + " … (включите устройство в режиме загрузки)";
}

std::string ProgressLine(const TRun &Run, const std::string &Device, long long Ms)
{
    const TUploadProgress Now = Run.Upload->Progress();
    if (Now.AwaitingDevice && !Run.Upload->Done())
        return Waiting(Device);
    char Seconds[32];
    std::snprintf(Seconds, sizeof Seconds, "%.1f", double(Ms) / 1000);
    return Device + " через " + ipv4::Format(Run.Via.Address) + ": " + std::to_string(Now.BlocksAcked) + "/" +
           std::to_string(Now.Blocks) + " блоков, " + std::to_string(Now.BytesAcked) + " байт, " + Seconds +
           " с, повторов: " + std::to_string(Now.Retries);
}

long long MsSince(TClock::time_point Start, TClock::time_point Now)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Now - Start).count();
}

int Upload(const TCliOptions &Options, TUploadLimits Limits)
{
    const auto Device = ipv4::Parse(Options.Device);
    if (!Device)
        return UsageError(Options.Device + " — не IP-адрес (четыре числа от 0 до 255 через точку)");
    const std::string DeviceText = ipv4::Format(*Device);
    TChoiceError Error;
    const std::vector<TLocalAddress> Interfaces = Choose(Options, *Device, Error);
    if (Interfaces.empty()) {
        if (Error.Exit == ceUsage)
            return UsageError(Error.Message);
        Say("txloader: " + Error.Message);
        return Error.Exit;
    }

    TPollWake Wake;
    CatchInterrupt(Wake);
    const bool Several = Interfaces.size() > 1;
    const bool Progress = !Options.Quiet && IsTerminal(TStream::Err);
    Limits.WaitForDevice = std::chrono::seconds(Options.WaitSeconds);
    std::vector<TRun> Runs;
    std::vector<TPolledUpload *> Uploads;
    for (const TLocalAddress &Interface : Interfaces) {
        TRun Run{Interface, std::make_unique<TPolledUpload>(Interface.Address, FirmwareBytes(), Limits)};
        Uploads.push_back(Run.Upload.get());
        Runs.push_back(std::move(Run));
    }
    if (Options.WaitSeconds > 0 && !Progress && !Options.Quiet)
        Say(Waiting(DeviceText));
    const TClock::time_point Start = TClock::now();
    for (TPolledUpload *Upload : Uploads)
        Upload->Start(*Device, FirmwareFileName, TClock::now());
    const auto Ms = [Start](const TPolledUpload &Upload) {
        return MsSince(Start, Upload.Done() ? Upload.FinishedAt() : TClock::now());
    };
    bool Drawn = false;
    // The terminal's progress lines, redrawn in place.
    const auto Draw = [&] {
        std::string Lines = Drawn ? "\x1b[" + std::to_string(Runs.size()) + "A" : std::string();
        for (const TRun &Run : Runs)
            Lines += "\r\x1b[K" + ProgressLine(Run, DeviceText, Ms(*Run.Upload)) + '\n';
        WriteText(TStream::Err, Lines);
        Drawn = true;
    };
    RunPolled(Uploads, Wake, Interrupted, Progress ? TickMs : 0,
              Progress ? std::function<void()>(Draw) : nullptr);

    int Exit = ceOK;
    bool JsonLost = false;
    for (const TRun &Run : Runs) {
        const TPolledUpload &Upload = *Run.Upload;
        const int RunExit = ExitOf(Upload.Outcome());
        if (Exit == ceOK)
            Exit = RunExit;
        const TUploadEvidence Evidence = Upload.Evidence();
        // What the PC's tables say is read once an upload has failed, and only then.
        const TDiagnosis Diagnosis =
            Upload.Outcome() == TOutcome::OK
                ? TDiagnosis()
                : Diagnose(Run.Via.Address, *Device, Evidence.SendError, Evidence.SetUp.InterfaceError);
        const TTelling Told = Tell(Upload.Outcome(), Evidence, Diagnosis, Run.Via.Address, *Device);
        const std::string Who = Several ? Described(Run.Via) + ": " : std::string();
        if (RunExit != ceOK || !Options.Quiet)
            Say(Who + Told.Status);
        if (!Told.Reason.empty())
            Say("txloader: " + Who + Told.Reason);
        if (!Options.Json)
            continue;
        const bool Refused = Upload.Outcome() == TOutcome::DeviceError;
        const nlohmann::json Line{
            {"device", DeviceText},
            {"interface", ipv4::Format(Run.Via.Address)},
            {"outcome", OutcomeName(Upload.Outcome())},
            {"exit", RunExit},
            {"blocks_acked", Evidence.BlocksAcked},
            {"retries", Evidence.Retries},
            {"ms", Ms(Upload)},
            {"image", std::string(FirmwareFileName)},
            {"image_bytes", FirmwareSize},
            {"image_sha256", std::string(FirmwareSha256)},
            {"reason", Told.Reason},
            {"device_error_code", Refused && Evidence.DeviceErrorCode >= 0
                                      ? nlohmann::json(Evidence.DeviceErrorCode)
                                      : nlohmann::json()},
            {"device_error_message",
             Refused ? nlohmann::json(DeviceErrorText(Evidence.DeviceErrorMessage)) : nlohmann::json()}};
        // Said once: a test station that reads the JSON must not take its absence for no devices.
        if (!WriteText(TStream::Out,
                       Line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n') &&
            !std::exchange(JsonLost, true))
            Say("txloader-cli: не удалось записать JSON в стандартный вывод (он закрыт или его больше никто "
                "не "
                "читает)");
    }
    return Interrupted() ? ceInterrupted : Exit;
}

} // namespace

int RunCli(const std::vector<std::string> &Arguments, const TUploadLimits &Limits)
{
    HoldClosedStreams();
    std::string Error;
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
    return Upload(*Options, Limits);
}
