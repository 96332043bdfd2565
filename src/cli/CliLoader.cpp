#include "CliLoader.h"

#include "CliOptions.h"
#include "Console.h"
#include "InterfaceInfo.h"
#include "LoadData.h"
#include "Neighbour.h"
#include "Outcome.h"
#include "TftpClient.h"
#include "TftpPacket.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <bit>
#include <memory>
#include <thread>
#include <vector>

namespace {

// How often a terminal's progress lines are redrawn, and a Ctrl+C looked for.
constexpr int TickMs = 100;

struct TInterface {
    QString Address;
    QString Name;
    std::uint32_t Value = 0;
    std::uint32_t Netmask = 0;
};

// One device behind one interface, and its upload on a thread of its own.
struct TRun {
    TInterface Via;
    std::unique_ptr<TTftpClient> Client;
    std::atomic<unsigned> Acked{0}, Retries{0};
    std::atomic<bool> Awaiting{true}, Done{false};
    TTftpResult Result = trTimeout;
    TUploadEvidence Evidence;
    qint64 Ms = 0;
    std::thread Thread;
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

std::vector<TInterface> UsableInterfaces()
{
    // The window's list: up, neither loopback nor point-to-point.
    TNetInterfaceList List;
    List.Refresh();
    std::vector<TInterface> Result;
    for (int i = 0; i < List.Count(); ++i) {
        const auto Address = tftp::ParseDottedQuad(List.Strings(i).toStdString());
        const auto Netmask = tftp::ParseDottedQuad(List.Objects(i)->Netmask.toStdString());
        if (Address)
            Result.push_back(
                {List.Strings(i), List.Objects(i)->Name, *Address, Netmask.value_or(0xFFFFFFFFu)});
    }
    return Result;
}

QString Described(const TInterface &Interface)
{
    return QStringLiteral("%1/%2 (%3)")
        .arg(Interface.Address)
        .arg(std::popcount(Interface.Netmask))
        .arg(Interface.Name.isEmpty() ? QStringLiteral("?") : Interface.Name);
}

QString Candidates(const std::vector<TInterface> &Interfaces)
{
    QStringList Names;
    for (const TInterface &Interface : Interfaces)
        Names << Described(Interface);
    return Names.join(QStringLiteral(", "));
}

int List()
{
    for (const TInterface &Interface : UsableInterfaces()) {
        const TLinkState State = QueryLinkState(Interface.Value);
        WriteText(TStream::Out, QStringLiteral("%1\t%2/%3\t%4\n")
                                    .arg(Interface.Name, Interface.Address)
                                    .arg(std::popcount(Interface.Netmask))
                                    .arg(State == TLinkState::NoCarrier ? QStringLiteral("нет связи")
                                                                        : QStringLiteral("включён")));
    }
    return ceOK;
}

QString ImageSha256()
{
    const std::span<const std::uint8_t> Image = FirmwareBytes();
    return QString::fromLatin1(QCryptographicHash::hash(QByteArrayView(Image.data(), qsizetype(Image.size())),
                                                        QCryptographicHash::Sha256)
                                   .toHex());
}

int Version()
{
    WriteText(TStream::Out,
              QStringLiteral("txloader-cli %1\nОбраз: %2, %3 байт, SHA-256 %4%5\n")
                  .arg(QString::fromLatin1(Product::Version), QString::fromLatin1(FirmwareFileName))
                  .arg(FirmwareSize)
                  .arg(ImageSha256(), FirmwareIsPlaceholder ? QString::fromUtf8(TestImageMark) : QString()));
    return ceOK;
}

// The interfaces to upload through, or a usage error's message.
std::vector<TInterface> Choose(const TCliOptions &Options, std::uint32_t Device, QString &Error)
{
    const std::vector<TInterface> Usable = UsableInterfaces();
    std::vector<TInterface> Chosen;
    for (const QString &Wanted : Options.Interfaces) {
        const auto WantedAddress = tftp::ParseDottedQuad(Wanted.toStdString());
        const auto Found = std::find_if(Usable.begin(), Usable.end(), [&](const TInterface &Interface) {
            return WantedAddress ? Interface.Value == *WantedAddress : Interface.Name == Wanted;
        });
        if (Found == Usable.end()) {
            Error = QStringLiteral("нет интерфейса %1, через который можно загружать; есть: %2")
                        .arg(Wanted, Usable.empty() ? QStringLiteral("ни одного") : Candidates(Usable));
            return {};
        }
        if (std::any_of(Chosen.begin(), Chosen.end(),
                        [&](const TInterface &I) { return I.Value == Found->Value; })) {
            Error = QStringLiteral("интерфейс %1 задан дважды").arg(Wanted);
            return {};
        }
        Chosen.push_back(*Found);
    }
    if (!Chosen.empty() || Usable.size() == 1)
        return Chosen.empty() ? Usable : Chosen;
    std::vector<TInterface> Holding;
    for (const TInterface &Interface : Usable) {
        if ((Interface.Value & Interface.Netmask) == (Device & Interface.Netmask))
            Holding.push_back(Interface);
    }
    if (Holding.size() == 1)
        return Holding;
    Error = Usable.empty() ? QStringLiteral("Не обнаружено ни одного сетевого интерфейса!")
                           : QStringLiteral("укажите интерфейс (--interface): адрес %1 %2; есть: %3")
                                 .arg(tftp::FormatDottedQuad(Device).c_str(),
                                      Holding.empty() ? QStringLiteral("не входит в подсеть ни одного")
                                                      : QStringLiteral("входит в подсети нескольких"),
                                      Candidates(Usable));
    return {};
}

int ExitOf(const TRun &Run)
{
    if (Run.Evidence.Interrupted)
        return ceInterrupted;
    if (Run.Result == trOK)
        return ceOK;
    if (Run.Evidence.NotSent())
        return ceNotSent;
    switch (Run.Result) {
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

QString ProgressLine(const TRun &Run, const QString &Device, qint64 Ms, unsigned Blocks)
{
    if (Run.Awaiting)
        return QStringLiteral("жду %1 … (включите устройство в режиме загрузки)").arg(Device);
    const unsigned Acked = Run.Acked;
    return QStringLiteral("%1 через %2: %3/%4 блоков, %5 байт, %6 с, повторов: %7")
        .arg(Device, Run.Via.Address)
        .arg(Acked)
        .arg(Blocks)
        .arg(std::min<std::size_t>(FirmwareSize, std::size_t(Acked) * tftp::BlockSize))
        .arg(double(Ms) / 1000, 0, 'f', 1)
        .arg(Run.Retries.load());
}

int Upload(const TCliOptions &Options)
{
    const auto Device = tftp::ParseDottedQuad(Options.Device.toStdString());
    if (!Device)
        return UsageError(
            QStringLiteral("%1 — не IP-адрес (четыре числа от 0 до 255 через точку)").arg(Options.Device));
    const QString DeviceText = QString::fromStdString(tftp::FormatDottedQuad(*Device));
    QString Error;
    const std::vector<TInterface> Interfaces = Choose(Options, *Device, Error);
    if (Interfaces.empty())
        return Error.startsWith(QStringLiteral("Не обнаружено")) ? (Say(Error), ceNotSent)
                                                                 : UsageError(Error);

    // Before the receive threads start, so that none of them takes the signal.
    CatchInterrupt();
    const bool Several = Interfaces.size() > 1;
    const bool Progress = !Options.Quiet && IsTerminal(TStream::Err);
    const unsigned Blocks = unsigned(FirmwareSize / tftp::BlockSize + 1);
    std::vector<std::unique_ptr<TRun>> Runs;
    for (const TInterface &Interface : Interfaces) {
        auto Run = std::make_unique<TRun>();
        Run->Via = Interface;
        Run->Client = std::make_unique<TTftpClient>(Interface.Address);
        Run->Client->SetServeEvents(false);
        Run->Client->SetWaitForDevice(Options.WaitSeconds * 1000);
        Run->Client->OnProgress = [Run = Run.get()](const TUploadProgress &Now) {
            Run->Acked = Now.BlocksAcked;
            Run->Retries = Now.Retries;
            Run->Awaiting = Now.AwaitingDevice;
        };
        Runs.push_back(std::move(Run));
    }
    if (Options.WaitSeconds > 0 && !Progress && !Options.Quiet)
        Say(QStringLiteral("жду %1 … (включите устройство в режиме загрузки)").arg(DeviceText));
    QElapsedTimer Clock;
    Clock.start();
    for (auto &Run : Runs) {
        Run->Thread = std::thread([Run = Run.get(), &Clock, DeviceText] {
            Run->Result = Run->Client->Upload(DeviceText, QString::fromLatin1(FirmwareFileName));
            Run->Evidence = Run->Client->Evidence();
            Run->Ms = Clock.elapsed();
            Run->Done = true;
            WakeWaiter();
        });
    }

    bool Interrupted = false;
    bool Drawn = false;
    for (;;) {
        const bool AllDone = std::all_of(Runs.begin(), Runs.end(),
                                         [](const std::unique_ptr<TRun> &Run) { return Run->Done.load(); });
        if (Progress) {
            QString Lines = Drawn ? QStringLiteral("\x1b[%1A").arg(Runs.size()) : QString();
            for (const auto &Run : Runs)
                Lines += QStringLiteral("\r\x1b[K") +
                         ProgressLine(*Run, DeviceText, Run->Done ? Run->Ms : Clock.elapsed(), Blocks) +
                         QLatin1Char('\n');
            WriteText(TStream::Err, Lines);
            Drawn = true;
        }
        if (AllDone)
            break;
        if (!Interrupted && WaitForInterrupt(TickMs)) {
            // The uploads end after the packet in flight; nothing more is sent.
            Interrupted = true;
            for (const auto &Run : Runs)
                Run->Client->Cancel();
        } else if (Interrupted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    int Exit = ceOK;
    for (auto &Run : Runs) {
        Run->Thread.join();
        Run->Client.reset(); // its receive thread ends here
        const int RunExit = ExitOf(*Run);
        if (Exit == ceOK)
            Exit = RunExit;
        const QString Who = Several ? Described(Run->Via) + QStringLiteral(": ") : QString();
        const QString Reason = FailureReason(Run->Result, Run->Evidence, Run->Via.Address, DeviceText);
        if (RunExit != ceOK || !Options.Quiet)
            Say(Who + (RunExit == ceInterrupted ? QStringLiteral("Прервано") : StatusText(Run->Result)));
        if (!Reason.isEmpty())
            Say(QStringLiteral("txloader: ") + Who + Reason);
        if (Options.Json) {
            const QJsonObject Line{{"device", DeviceText},
                                   {"interface", Run->Via.Address},
                                   {"outcome", OutcomeName(RunExit)},
                                   {"exit", RunExit},
                                   {"blocks_acked", int(Run->Evidence.BlocksAcked)},
                                   {"retries", int(Run->Evidence.Retries)},
                                   {"ms", Run->Ms},
                                   {"image", QString::fromLatin1(FirmwareFileName)},
                                   {"image_bytes", qint64(FirmwareSize)},
                                   {"image_sha256", ImageSha256()},
                                   {"reason", Reason}};
            WriteText(TStream::Out, QString::fromUtf8(QJsonDocument(Line).toJson(QJsonDocument::Compact)) +
                                        QLatin1Char('\n'));
        }
    }
    return Interrupted ? ceInterrupted : Exit;
}

} // namespace

int RunCli(const QStringList &Arguments)
{
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
    return Upload(*Options);
}
