// The upload's rules in virtual time, without sockets: tables of inputs and the steps they must
// give, then thousands of generated devices and links, each upload checked against what its
// device really stored.

#include "DataRow.h"
#include "DeviceModel.h"
#include "LoadData.h"
#include "Outcome.h"
#include "UploadMachine.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <map>
#include <queue>
#include <set>
#include <vector>

namespace {

using TStep = TUploadMachine::TStep;
using TKind = TStep::TKind;
using TTime = TUploadMachine::TTime;
using std::chrono::microseconds;
using uitest::Row;

constexpr TIpv4 DeviceAddress = 0xC00002C8;   // 192.0.2.200: in no table of the machine running the test
constexpr TIpv4 StrangerAddress = 0xC00002C9; // 192.0.2.201

TTime At(double Ms)
{
    return TTime() + microseconds(std::llround(Ms * 1000));
}

// The simulator's generator, with the draws a generated world makes.
struct TRandom : SimRandom {
    using SimRandom::SimRandom;
    bool Chance(double P) { return NextUnit() < P; }
    unsigned Below(unsigned N) { return N ? unsigned(Next() % N) : 0; }
    double Between(double Low, double High) { return Low + (High - Low) * NextUnit(); }
};

// An image whose every block differs, so a block from the wrong place cannot pass.
std::vector<std::uint8_t> MakeImage(std::size_t Size, std::uint64_t Seed)
{
    TRandom Random(Seed);
    std::vector<std::uint8_t> Image(Size);
    for (std::uint8_t &Byte : Image)
        Byte = std::uint8_t(Random.Next());
    return Image;
}

std::vector<std::uint8_t> Ack(unsigned Number)
{
    return {0, 4, std::uint8_t(Number >> 8), std::uint8_t(Number)};
}

std::vector<std::uint8_t> Error(unsigned Code, const std::string &Message)
{
    std::vector<std::uint8_t> Packet(4 + Message.size() + 1, 0); // the message ends with a zero
    Packet[1] = 5;
    Packet[2] = std::uint8_t(Code >> 8);
    Packet[3] = std::uint8_t(Code);
    std::copy(Message.begin(), Message.end(), Packet.begin() + 4);
    return Packet;
}

// A step as the tables write it: W or Dn (sent), - (waits), OK, TO, DE or UE (done); +MS until then.
QString Written(const TStep &Step)
{
    static const char *const Results[] = {"OK", "TO", "DE", "UE"};
    if (Step.Kind == TKind::Done)
        return Results[Step.Result];
    const QString Until = QString("+%1").arg(
        std::chrono::duration_cast<std::chrono::milliseconds>(Step.Until.time_since_epoch()).count());
    if (Step.Kind == TKind::Wait)
        return "-" + Until;
    return (Step.Packet[1] == tftp::OpWrq ? QString("W")
                                          : QString("D%1").arg(Step.Packet[2] << 8 | Step.Packet[3])) +
           Until;
}

// The evidence and the outcome as the tables name them, "key=value" a word.
QStringList EvidenceWords(const TUploadMachine &Machine)
{
    static const char *const Outcomes[] = {"ok",       "timeout",    "device-error", "unknown-reply",
                                           "not-sent", "interrupted"};
    const TUploadEvidence &E = Machine.Evidence();
    return QString::asprintf("block=%u acked=%u blocks=%u stray=%u zero=%u repeated=%u foreign=%u retries=%u "
                             "unreachable=%u sent=%d senderror=%d wrqport=%u code=%d outcome=%s",
                             E.Block, E.BlocksAcked, E.Blocks, E.StrayAcks, E.ZeroAcks, E.RepeatedAcks,
                             E.Foreign, E.Retries, E.PortUnreachable, E.AnySent, E.SendError,
                             unsigned(E.WrqReplyPort), E.DeviceErrorCode,
                             Machine.Done() ? Outcomes[int(Machine.Outcome())] : "none")
               .split(' ')
           << "from=" + QString::fromStdString(ipv4::Format(E.ForeignAddress))
           << "message=" + QString::fromStdString(E.DeviceErrorMessage);
}

// ------------------------------------------------------------------------------------------
// The generated world: one device (the simulator's model), the link to it both ways, perhaps a
// stranger. Each seed picks the device, the link and the stranger; time is virtual, in microseconds.

struct TWorldModel {
    TDeviceConfig Device;
    double ReplyMs = 0, ReplyJitterMs = 0;
    int LostPacket = -1;  // the link drops every copy of this packet (0 the WRQ)
    double UpAfterMs = 0; // not listening before: packets meet a closed port
    double LossOut = 0, DupOut = 0, LossIn = 0, DupIn = 0;
    double LinkMs = 0, LinkJitterMs = 0;
    double RefuseSend = 0; // the PC's system refuses a send
    double StrangerPerSecond = 0;
    std::size_t ImageSize = 0;
    int TimeoutMs = 3000;
    int WaitMs = 0;

    QString Describe() const
    {
        const TDeviceConfig &D = Device;
        QString Faults;
        for (const auto &[Packet, Steps] : D.Faults)
            for (const FaultStep &Step : Steps)
                Faults += QString(" %1:%2:%3").arg(Packet).arg(ActionName(Step.Kind)).arg(Step.Count);
        return QString::asprintf(
            "device in-order %d, repeats its last ACK %d, ACKs 0 %d, skew %d, 8-bit %d, re-send %.0f ms, "
            "reply %.1f+%.1f ms from port %d, faults%s, up after %.0f ms; "
            "link out loss %.3f dup %.3f, in loss %.3f dup %.3f, %.1f+%.1f ms, packet %d lost; "
            "refused sends %.2f; stranger %.1f/s; image %zu bytes; limit %d ms, wait %d ms",
            D.InOrder, D.RepeatLastAck, D.ZeroAcks, D.AckSkew, D.EightBitAcks, D.ResendMs, ReplyMs,
            ReplyJitterMs, D.ReplyPort, qPrintable(Faults), UpAfterMs, LossOut, DupOut, LossIn, DupIn, LinkMs,
            LinkJitterMs, LostPacket, RefuseSend, StrangerPerSecond, ImageSize, TimeoutMs, WaitMs);
    }
};

TWorldModel GenerateModel(TRandom &R)
{
    TWorldModel M;
    TDeviceConfig &D = M.Device;
    D.OneTransfer = true; // its link copies packets: a write request, however late, is a copy
    D.ErrorCode = 3;
    D.ErrorMessage = "Flash full";
    // Lenient, in order, in order repeating its last ACK, all ACKs 0, skewed, an 8-bit counter.
    const unsigned Kind = R.Below(100);
    D.InOrder = Kind >= 35 && Kind < 75;
    D.RepeatLastAck = Kind >= 60 && Kind < 75;
    D.ZeroAcks = Kind >= 75 && Kind < 85;
    const int Skew = int(R.Below(5)) - 2;
    if (Kind >= 85 && Kind < 93)
        D.AckSkew = Skew == 0 ? 1 : Skew;
    D.EightBitAcks = Kind >= 93;
    if (R.Chance(0.5))
        D.ResendMs = R.Between(20, 4000);
    if (R.Chance(0.6))
        M.ReplyMs = R.Chance(0.8) ? R.Between(0, 20) : R.Between(20, 1500);
    if (R.Chance(0.3))
        M.ReplyJitterMs = R.Between(0, 400);
    const unsigned Size = R.Below(100);
    M.ImageSize = Size < 40   ? R.Below(4 * 512 + 1)
                  : Size < 75 ? R.Below(64 * 512)
                  : Size < 95 ? FirmwareSize
                              : 256 * 512 + R.Below(64 * 512);
    if (R.Chance(0.1))
        M.ImageSize -= M.ImageSize % 512; // whole blocks, then an empty one
    const unsigned Blocks = unsigned(M.ImageSize / 512 + 1);
    if (R.Chance(0.3)) {
        // Part-way it hangs, refuses every time, closes its port, restarts or refuses once and
        // hangs; or the link loses that packet every time.
        using F = DeviceAction;
        const unsigned Failure = R.Below(6), At = R.Below(Blocks + 1);
        const F Kinds[] = {F::Hang, F::Error, F::Close, F::Restart, F::Refuse};
        if (Failure < 5)
            D.Faults[At] = {{Kinds[Failure], Kinds[Failure] == F::Error ? -1 : 1}};
        else
            M.LostPacket = int(At);
    }
    if (R.Chance(0.05))
        D.ReplyPort = 5000; // answers from a port of its own
    if (R.Chance(0.1))
        M.UpAfterMs = R.Between(0, 12000);
    const auto Lossy = [&R] { return R.Chance(0.4) ? R.Between(0, 0.3) : 0.0; };
    M.LossOut = Lossy();
    M.LossIn = Lossy();
    M.DupOut = Lossy();
    M.DupIn = Lossy();
    M.LinkMs = R.Between(0, 5);
    if (R.Chance(0.3))
        M.LinkJitterMs = R.Between(0, 800); // reorders
    if (R.Chance(0.05))
        M.RefuseSend = R.Between(0, 0.5);
    if (R.Chance(0.2))
        M.StrangerPerSecond = R.Between(0.5, 200);
    if (R.Chance(0.3))
        M.TimeoutMs = int(R.Between(50, 3000));
    if (R.Chance(0.15))
        M.WaitMs = int(R.Between(0, 20000));
    return M;
}

// The number of a WRQ (0) or DATA packet; -1 for anything else.
int PacketNumber(std::span<const std::uint8_t> Packet)
{
    const int Opcode = tftp::ReplyOpcode(Packet);
    return Opcode == tftp::OpWrq                          ? 0
           : Opcode == tftp::OpData && Packet.size() >= 4 ? Packet[2] << 8 | Packet[3]
                                                          : -1;
}

// One upload through a generated world, stepped as a driver steps the machine.
class TWorld
{
public:
    TWorld(std::uint64_t Seed, const TWorldModel &Model)
        : R(Seed ^ 0x5eed), M(Model), FImage(MakeImage(M.ImageSize, Seed)),
          FBlocks(unsigned(M.ImageSize / 512 + 1)), FDevice(M.Device),
          FMachine({DeviceAddress, FImage, FirmwareFileName, TUploadMachine::TMs(M.TimeoutMs), 3,
                    TUploadMachine::TMs(M.WaitMs)})
    {
        if (M.StrangerPerSecond > 0)
            Schedule(NextStrangerGap(), TEvent::Stranger, {});
    }

    // Runs the upload to its end; false (with Failure saying why) when a rule was broken.
    bool Run()
    {
        Act(FMachine.Start(Now()));
        // Bounded: no upload takes that many inputs, however unlucky its seed.
        for (int Inputs = 0; Inputs < 2'000'000 && !FMachine.Done(); ++Inputs) {
            const microseconds Until =
                std::chrono::duration_cast<microseconds>(FStep.Until.time_since_epoch());
            if (FQueue.empty() || FQueue.top().At > Until) {
                FNow = std::max(FNow, Until);
                Act(FMachine.Timeout(Now()));
                continue;
            }
            const TEvent Event = FQueue.top();
            FQueue.pop();
            FNow = Event.At;
            Handle(Event);
        }
        if (!FMachine.Done())
            return Fail("the upload never ended");
        return Check();
    }

    TTftpResult Result() const { return FMachine.Result(); }

    QString Failure;
    unsigned Inputs = 0;

private:
    struct TEvent {
        enum TType { ToDevice, ToClient, Unreachable, DeviceTimer, Stranger } Type;
        microseconds At;
        std::uint64_t Order;
        std::vector<std::uint8_t> Bytes;
        TIpv4 From = DeviceAddress;
        std::uint16_t Port = 69;
        bool operator<(const TEvent &Other) const
        {
            return At != Other.At ? At > Other.At : Order > Other.Order; // earliest first
        }
    };

    TTime Now() const { return TTime() + FNow; }
    microseconds Ms(double Value) const { return microseconds(std::llround(Value * 1000)); }

    void Schedule(microseconds After, TEvent::TType Type, std::vector<std::uint8_t> Bytes,
                  TIpv4 From = DeviceAddress, std::uint16_t Port = 69)
    {
        FQueue.push({Type, FNow + After, FOrder++, std::move(Bytes), From, Port});
    }

    microseconds LinkDelay() { return Ms(M.LinkMs + R.Between(0, M.LinkJitterMs)); }
    microseconds NextStrangerGap() { return Ms(-std::log(1 - R.NextUnit()) * 1000 / M.StrangerPerSecond); }

    // As a driver does: a send goes out (or is refused) before anything else reaches the machine.
    void Act(TStep Step)
    {
        ++Inputs;
        for (int i = 0; Step.Kind == TKind::Send && i < 1000; ++i) {
            if (!CheckSend(Step.Packet))
                return;
            if (R.Chance(M.RefuseSend)) {
                Step = FMachine.SendRefused(101, Now());
                continue;
            }
            for (int Copy = 0; Copy < 1 + int(R.Chance(M.DupOut)); ++Copy) {
                if (!R.Chance(M.LossOut))
                    Schedule(LinkDelay(), TEvent::ToDevice, {Step.Packet.begin(), Step.Packet.end()});
            }
            Step.Kind = TKind::Wait;
        }
        if (Step.Kind != TKind::Wait || Step.Until != FStep.Until)
            FStep = Step;
    }

    void Handle(const TEvent &Event)
    {
        switch (Event.Type) {
        case TEvent::ToDevice:
            DeviceReceives(Event.Bytes);
            break;
        case TEvent::ToClient:
            if (Event.From == StrangerAddress && tftp::ReplyOpcode(Event.Bytes) > 0)
                ++FStrangerDelivered;
            if (Event.From == DeviceAddress && tftp::ReplyOpcode(Event.Bytes) > 0)
                Heard(Event.Bytes);
            Act(FMachine.Datagram(Event.From, Event.Port, Event.Bytes, Now()));
            break;
        case TEvent::Unreachable:
            ++FReports;
            Act(FMachine.PortUnreachable(Now()));
            break;
        case TEvent::DeviceTimer:
            if (const auto Bytes = FDevice.Resend(Now()))
                Reply(*Bytes);
            ArmTimer();
            break;
        case TEvent::Stranger: {
            // ACKs near the awaited block, ERRORs and junk, from another address.
            const unsigned Awaited = FMachine.Evidence().Block;
            const unsigned Kind = R.Below(4);
            std::vector<std::uint8_t> Bytes = Kind == 0   ? Error(0, "stranger")
                                              : Kind == 1 ? std::vector<std::uint8_t>{0, 0, 0, 0}
                                                          : Ack(Awaited + R.Below(3) - 1);
            Schedule(microseconds(0), TEvent::ToClient, std::move(Bytes), StrangerAddress, 4444);
            Schedule(NextStrangerGap(), TEvent::Stranger, {});
            break;
        }
        }
    }

    // What the device said to the packet the machine awaits: its last word, and whether every
    // word was the block before again.
    void Heard(const std::vector<std::uint8_t> &Bytes)
    {
        const unsigned Awaited = FMachine.Evidence().Block;
        if (Awaited != FWordsOn) {
            FWordsOn = Awaited;
            FWords = 0;
            FOnlyRepeats = true;
        }
        ++FWords;
        FLastWord = tftp::ReplyOpcode(Bytes);
        const auto Number = tftp::AckBlock(Bytes);
        FOnlyRepeats = FOnlyRepeats && Awaited > 1 && Number && *Number == ((Awaited - 1) & 0xFFFF);
    }

    void DeviceReceives(const std::vector<std::uint8_t> &Packet)
    {
        const int Number = PacketNumber(Packet);
        if (Number >= 0 && Number == M.LostPacket)
            return;
        if (FNow < Ms(M.UpAfterMs) || FDevice.Closed()) {
            Schedule(LinkDelay(), TEvent::Unreachable, {});
            return;
        }
        for (const std::vector<std::uint8_t> &Bytes : FDevice.Receive(Packet, Now()).Replies) {
            FErrorsSent += tftp::ReplyOpcode(Bytes) == tftp::OpError;
            Reply(Bytes);
        }
        const std::vector<bool> &Seen = FDevice.Transfer().Seen;
        if (Number > 0 && std::size_t(Number) < Seen.size() && Seen[std::size_t(Number)])
            FEverReceived.insert(unsigned(Number));
        ArmTimer();
    }

    void Reply(const std::vector<std::uint8_t> &Bytes)
    {
        const std::uint16_t Port = M.Device.ReplyPort >= 0 ? std::uint16_t(M.Device.ReplyPort) : 69;
        const microseconds Delay = Ms(M.ReplyMs + R.Between(0, M.ReplyJitterMs));
        for (int Copy = 0; Copy < 1 + int(R.Chance(M.DupIn)); ++Copy) {
            if (!R.Chance(M.LossIn))
                Schedule(Delay + LinkDelay(), TEvent::ToClient, Bytes, DeviceAddress, Port);
        }
    }

    // The device's timer, when it moved.
    void ArmTimer()
    {
        const auto At = FDevice.ResendAt();
        if (!At || *At == FTimerAt)
            return;
        FTimerAt = *At;
        Schedule(std::chrono::ceil<microseconds>(*At - Now()), TEvent::DeviceTimer, {});
    }

    // A packet goes out again, or the next one once the device has the one before it; a block
    // carries the image's bytes.
    bool CheckSend(std::span<const std::uint8_t> Packet)
    {
        const int Number = PacketNumber(Packet);
        if (Number == 0)
            return FSentData == 0 || Fail("a write request after DATA");
        if (Number < 0)
            return Fail("a packet that is neither WRQ nor DATA");
        if (unsigned(Number) == ((FSentData + 1) & 0xFFFF)) {
            if (FSentData > 0 && !FEverReceived.contains(FSentData))
                return Fail(QString("DATA %1 went out before the device had block %2")
                                .arg(FSentData + 1)
                                .arg(FSentData));
            ++FSentData;
        } else if (FSentData == 0 || unsigned(Number) != (FSentData & 0xFFFF)) {
            return Fail("DATA out of sequence");
        }
        const std::size_t Offset = std::size_t(FSentData - 1) * 512;
        return (FSentData <= FBlocks &&
                std::ranges::equal(Packet.subspan(4),
                                   std::span(FImage).subspan(Offset).first(
                                       std::min<std::size_t>(512, M.ImageSize - Offset)))) ||
               Fail(QString("DATA %1 does not carry the image's block").arg(FSentData));
    }

    bool Fail(const QString &Why)
    {
        if (Failure.isEmpty())
            Failure = Why;
        return false;
    }

    bool Check()
    {
        if (!Failure.isEmpty())
            return false;
        const TUploadEvidence E = FMachine.Evidence();
        const TTftpResult Result = FMachine.Result();
        const TDeviceModel::TTransfer &Stored = FDevice.Transfer();
        bool Whole = Stored.Complete && Stored.Bytes == FImage && Stored.Seen.size() > FBlocks;
        for (unsigned Block = 1; Whole && Block <= FBlocks; ++Block)
            Whole = Stored.Seen[Block];
        if (Result == trOK && !Whole)
            return Fail("OK, but the device does not hold the image byte for byte");
        if (Result == trDeviceError &&
            (FErrorsSent == 0 || E.DeviceErrorCode != 3 || E.DeviceErrorMessage != "Flash full"))
            return Fail("a device error the device never sent");
        for (unsigned Block = 1; Block <= E.BlocksAcked; ++Block) {
            if (!FEverReceived.contains(Block))
                return Fail(QString("block %1 counted as acknowledged, never received").arg(Block));
        }
        if (E.Foreign != FStrangerDelivered)
            return Fail(QString("%1 datagrams from the stranger counted, %2 came")
                            .arg(E.Foreign)
                            .arg(FStrangerDelivered));
        if (E.PortUnreachable > FReports)
            return Fail(
                QString("%1 reports of a closed port counted, %2 came").arg(E.PortUnreachable).arg(FReports));
        // It ends on the packet after the last one proven.
        const unsigned Awaited = E.WrqReplyPort == 0 ? 0 : E.BlocksAcked + 1;
        if (Result != trOK && E.Block != Awaited)
            return Fail(
                QString("ended on packet %1 with %2 blocks acknowledged").arg(E.Block).arg(E.BlocksAcked));
        if (Result == trOK && (E.BlocksAcked != FBlocks || E.Block != FBlocks))
            return Fail("OK without every block acknowledged");
        // The device's last word on the packet that failed decides: a refusal stays one.
        const bool Spoke = Result != trOK && FWordsOn == E.Block && FWords > 0;
        if (Spoke && FLastWord == tftp::OpError && Result != trDeviceError)
            return Fail("the device's last word was an ERROR, yet the outcome is another");
        // Nothing but the block before, again: this block never reached the device.
        if (Spoke && FOnlyRepeats && Result == trTimeout && E.SendError == 0 && E.PortUnreachable == 0 &&
            !QString::fromStdString(Tell(FMachine.Outcome(), E, {}, 0, DeviceAddress).Reason)
                 .contains(QString("но блок %1 до него не дошёл").arg(E.Block)))
            return Fail("a block that never arrived, told as another failure");
        return true;
    }

    TRandom R;
    TWorldModel M;
    std::vector<std::uint8_t> FImage;
    unsigned FBlocks;
    TDeviceModel FDevice;
    TUploadMachine FMachine;
    TStep FStep;
    std::priority_queue<TEvent> FQueue;
    std::uint64_t FOrder = 0;
    microseconds FNow{0};
    TTime FTimerAt{};       // the device's timer, as last scheduled
    unsigned FSentData = 0; // highest DATA block sent
    unsigned FStrangerDelivered = 0;
    unsigned FReports = 0;            // of a closed port, brought to the machine
    unsigned FErrorsSent = 0;         // by the device
    std::set<unsigned> FEverReceived; // blocks the device had, also before it restarted
    // The device's words on the packet awaited, as they reached the machine.
    unsigned FWordsOn = ~0u, FWords = 0;
    int FLastWord = 0;
    bool FOnlyRepeats = true;
};

} // namespace

class TestUploadMachine : public QObject
{
    Q_OBJECT
private slots:
    void steps_data();
    void steps();
    void blockNumbersWrap();
    void generatedUploads_data();
    void generatedUploads();
};

void TestUploadMachine::steps_data()
{
    // The image and the machine: "size=N", "wait=MS" (default 1100 bytes: blocks 1
    // to 3, the last of 76 bytes; 3,000 ms; no waiting). Then the inputs, "MS:INPUT>STEP":
    // start; t (the time asked for has come); aN (ACK N from the device's port 69), aN:P (from
    // port P), xN (ACK N from another host), eC:TEXT (ERROR, _ for a blank), u (opcode 7), z
    // (four zero bytes), o (one byte), p (port unreachable), rC (the system refused the send,
    // code C), c (cancel). STEP: W or Dn (sent), - (wait), OK, TO, DE, UE (done); +MS: until
    // then. Then evidence "key=value ..." and part of the reason for the outcome.
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("inputs");
    QTest::addColumn<QString>("evidence");
    QTest::addColumn<QString>("reason");
    const QString Ok = "0:start>W+3000 1:a0>D1+3001 2:a1>D2+3002 3:a2>D3+3003 4:a3>OK";
    Row("every block acknowledged", "", Ok, "acked=3 block=3 retries=0 sent=1 wrqport=69", "");
    Row("whole blocks end with an empty DATA", "size=1024", "0:start>W 1:a0>D1 2:a1>D2 3:a2>D3 4:a3>OK",
        "blocks=3 acked=3", "");
    Row("an empty image: one empty DATA", "size=0", "0:start>W 1:a0>D1 2:a1>OK", "blocks=1 acked=1", "");
    // The product's limit, to the millisecond: three write requests 3,000 ms apart, then the end.
    Row("silent: three attempts of 3,000 ms", "",
        "0:start>W+3000 2999:t>-+3000 3000:t>W+6000 6000:t>W+9000 9000:t>TO",
        "block=0 retries=2 sent=1 wrqport=0", "Устройство 192.0.2.200 не ответило");
    Row("a block silent: its own three attempts", "",
        "0:start>W 10:a0>D1+3010 3010:t>D1+6010 6010:t>D1+9010 9010:t>TO", "block=1 acked=0 retries=2",
        "ответило на запрос записи, но не подтвердило ни одного блока");
    Row("ERROR three times", "", "0:start>W 1:e0:no>W 2:e0:no>W 3:e0:no>DE", "code=0 message=no retries=2",
        "ответило ошибкой TFTP с кодом 0 (не определена) и сообщением «no»");
    // After a refusal a device may fall silent: its refusal stands.
    Row("ERROR once, then silence", "",
        "0:start>W 1:a0>D1 2:a1>D2 3:e3:flash_write_failed>D2+3003 3003:t>D2+6003 6003:t>DE",
        "block=2 acked=1 code=3 retries=2",
        "на блок 2 оно ответило ошибкой TFTP с кодом 3 (диск полон или превышен объём) и сообщением «flash "
        "write failed». До этого оно приняло 1 из 3 блоков");
    Row("an unknown reply once, then silence", "", "0:start>W 1:u>W+3001 3001:t>W 6001:t>UE", "retries=2",
        "");
    Row("ERROR, then the block before again: its last word stands", "",
        "0:start>W 1:a0>D1 2:a1>D2 3:e3:x>D2 4:a1>- 3003:t>D2 6003:t>TO", "block=2 stray=1 repeated=1",
        "приняло 1 из 3 блоков, но блок 2 до него не дошёл");
    Row("ERROR or an unknown opcode, then ACK: the transfer goes on", "",
        "0:start>W 1:e2:busy>W 2:a0>D1 3:u>D1+3003 4:a1>D2", "retries=2", "");
    Row("the device's words on a block", "",
        "0:start>W 1:a0>D1 2:a1>D2 3:e3:Flash_full>D2 4:e3:Flash_full>D2 5:e3:Flash_full>DE",
        "block=2 acked=1 code=3",
        "на блок 2 оно ответило ошибкой TFTP с кодом 3 (диск полон или превышен объём) и сообщением "
        "«Flash full». До этого оно приняло 1 из 3 блоков");
    // Without an opcode a datagram ends nothing, and leaves the clock as it was.
    Row("opcode 0 and one byte end nothing", "",
        "0:start>W+3000 1:a0>D1+3001 5:z>-+3001 6:o>-+3001 3001:t>D1+6001 6002:a1>D2", "retries=1", "");
    // A copy of an ACK is no reply to the next packet.
    Row("every ACK twice", "", "0:start>W 1:a0>D1 1:a0>- 2:a1>D2 2:a1>- 3:a2>D3 3:a2>- 4:a3>OK",
        "acked=3 stray=1 retries=0", "");
    // An RFC 1350 receiver that lost block 1 repeats ACK 0 on its own timer: no proof of block 1.
    Row("ACK 0 repeated while block 1 is lost", "",
        "0:start>W 1:a0>D1+3001 200:a0>-+3001 400:a0>-+3001 3001:t>D1+6001 3002:a1>D2", "retries=1", "");
    Row("ACKs all numbered 0", "",
        "0:start>W 1:a0>D1+3001 2:a0>- 3001:t>D1 3002:a0>- 6001:t>D1 6002:a0>- 9001:t>TO",
        "block=1 acked=0 zero=3 stray=3",
        "Устройство 192.0.2.200 подтверждает блоки номером 0 (ответов: 3 на блок 1)");
    // A device's own timer repeats its last ACK while the next block is lost on the link.
    Row("the block before, over and over", "",
        "0:start>W 1:a0>D1 2:a1>D2 3:a2>D3 500:a2>- 3003:t>D3 3500:a2>- 6003:t>D3 6500:a2>- 9003:t>TO",
        "block=3 acked=2 stray=3 repeated=3",
        "Устройство 192.0.2.200 приняло 2 из 3 блоков, но блок 3 до него не дошёл");
    Row("an old ACK over and over", "",
        "0:start>W 1:a0>D1 2:a1>D2 3:a2>D3 4:a1>- 3003:t>D3 3004:a1>- 6003:t>D3 6004:a1>- 9003:t>TO",
        "block=3 acked=2 stray=3 zero=0", "отвечало (ответов: 3), но ни один ответ не подтвердил блок 3");
    // The WRQ takes ACK 0 alone; a block never sent proves nothing; too short for a number is 0.
    Row("ACKs that prove nothing", "", "0:start>W 1:a1>- 2:a0>D1 3:a2>- 4:a>- 5:a1>D2", "stray=0", "");
    Row("answers from another port", "", "0:start>W 1:a0:1234>D1 2:a1:1234>D2", "wrqport=1234", "");
    Row("a TFTP server: ACK 0 from its own port, then nothing", "",
        "0:start>W 1:a0:40000>D1 3001:t>D1 6001:t>D1 9001:t>TO", "wrqport=40000",
        "ответило только на запрос записи, причём не с порта 69, а с порта 40000");
    // Only the device answers for the device.
    Row("forged ACKs from another host", "",
        "0:start>W 1:x0>- 2:x1>- 3:a0>D1 4:x1>- 3003:t>D1 6003:t>D1 9003:t>TO", "foreign=3 from=192.0.2.201",
        "пакеты с адреса 192.0.2.201 (3) не приняты");
    Row("another host alone", "", "0:start>W 1:x0>- 3000:t>W 6000:t>W 9000:t>TO", "foreign=1",
        "Устройство 192.0.2.200 не ответило; пакеты с адреса 192.0.2.201 (1) не приняты");
    Row("nothing listens on port 69", "", "0:start>W 1:p>- 3000:t>W 3001:p>- 6000:t>W 9000:t>TO",
        "unreachable=2", "пришёл ответ «порт недоступен»");
    Row("stops listening after some blocks", "",
        "0:start>W 1:a0>D1 2:a1>D2 3:p>- 3002:t>D2 3003:p>- 6002:t>D2 9002:t>TO",
        "acked=1 block=2 unreachable=2",
        "Устройство 192.0.2.200 приняло 1 из 3 блоков, а на блок 2 с его адреса пришёл ответ «порт "
        "недоступен»");
    // Until a datagram has gone out no reply can come: the attempts end at once.
    Row("every send refused", "", "0:start>W 0:r101>W+3000 0:r101>W 0:r101>TO",
        "sent=0 senderror=101 retries=2 outcome=not-sent",
        "Компьютер не смог отправить пакет на 192.0.2.200");
    Row("a send refused after others went", "", "0:start>W 1:a0>D1+3001 1:r101>-+3001 3001:t>D1 3002:a1>D2",
        "sent=1 senderror=0", "");
    Row("cancelled", "", "0:start>W 1:a0>D1 2:a1>D2 5:c>TO 6:a2>! 7:c>TO", "outcome=interrupted acked=1",
        "Загрузка прервана: устройство 192.0.2.200 подтвердило 1 из 3 блоков");
    // Waiting for a device that comes up later: a write request every attempt's limit, no sooner.
    Row("waiting: the write request every 3,000 ms", "wait=10000",
        "0:start>W+3000 3000:t>W+6000 6000:t>W+9000 9000:t>W+12000 12000:t>TO", "retries=3",
        "Устройство 192.0.2.200 не ответило");
    Row("waiting: refused sends keep the spacing", "wait=9000",
        "0:start>W+3000 0:r101>-+3000 3000:t>W+6000 3000:r101>-+6000 6000:t>W 6000:r101>- 9000:t>TO",
        "sent=0 senderror=101", "Компьютер не смог отправить пакет");
    Row("waiting: the device comes up and takes it", "wait=30000", "0:start>W 3000:t>W 3500:a0>D1 3501:a1>D2",
        "retries=1", "");
    // A device that refuses is there: waiting ends, within the usual three attempts at most.
    Row("waiting: ERROR ends it", "wait=3600000",
        "0:start>W 1:e3:Flash_full>W 2:e3:Flash_full>W 3:e3:Flash_full>DE", "retries=2", "«Flash full»");
    Row("waiting: ERROR after three attempts ends it at once", "wait=3600000",
        "0:start>W 3000:t>W 6000:t>W 9000:t>W 9001:e1>DE", "retries=3 code=1", "с кодом 1 (файл не найден)");
    Row("waiting: ERROR once, then silence", "wait=3600000",
        "0:start>W 3000:t>W 3001:e3:Flash_full>W+6001 6001:t>DE", "retries=2 code=3", "«Flash full»");
    Row("waiting: an unknown reply ends it too", "wait=3600000", "0:start>W 3000:t>W 6000:t>W 6001:u>UE", "",
        "");
    Row("an empty file name", "name=", "0:start>UE", "sent=0 outcome=not-sent", "");
    // What the driver found before the first packet: nothing goes out.
    Row("the PC's own address", "devif=eth1", "0:setup:own>UE", "sent=0 outcome=not-sent",
        "192.0.2.200 — адрес этого компьютера (интерфейс eth1), а не устройства");
    Row("port 69 taken", "local=192.0.2.10/24", "0:setup:taken>TO", "outcome=not-sent",
        "UDP-порт 69 на адресе 192.0.2.10 занят другой программой");
    Row("port 69 for the helper's group alone", "local=192.0.2.10/24", "0:setup:group>TO", "outcome=not-sent",
        "запускать его могут только члены группы txloader. Добавьте пользователя в группу: sudo usermod -aG "
        "txloader user");
    Row("the system's words on a failed look-up of the interface", "local=192.0.2.10/24 syserr=EMFILE",
        "0:setup:interface>TO", "outcome=not-sent",
        "Не удалось направить пакеты только через интерфейс 192.0.2.10: программе не хватило дескрипторов "
        "файлов (EMFILE");
    // The order of what the PC's tables say, the first that holds told.
    Row("the address gone, before the refused send", "local=192.0.2.10/24 gone",
        "0:start>W 0:r101>W 0:r101>W 0:r101>TO", "outcome=not-sent", "Адреса 192.0.2.10 больше нет");
    Row("switched off, before the device's answers", "local=192.0.2.10/24 link=down",
        "0:start>W 1:a0>D1 3001:t>D1 6001:t>D1 9001:t>TO", "", "Интерфейс 192.0.2.10 выключен");
    Row("no carrier", "local=192.0.2.10/24 link=nocarrier", "0:start>W 3000:t>W 6000:t>W 9000:t>TO", "",
        "У интерфейса 192.0.2.10 нет связи");
    Row("the system's words for a refused send", "local=192.0.2.10/24 syserr=EHOSTUNREACH",
        "0:start>W 0:r113>W 0:r113>W 0:r113>TO", "", "узел недоступен (EHOSTUNREACH)");
    Row("the device's answers, before ARP", "local=192.0.2.10/24 arp=failed",
        "0:start>W 1:a0>D1 2:a0>- 3001:t>D1 6001:t>D1 9001:t>TO", "", "подтверждает блоки номером 0");
    Row("ARP unanswered", "local=192.0.2.10/24 arp=failed", "0:start>W 3000:t>W 6000:t>W 9000:t>TO", "",
        "Никто не ответил на запрос адреса 192.0.2.200 (ARP) на интерфейсе 192.0.2.10");
    Row("outside the subnet, no gateway: before ARP", "local=198.51.100.10/24 arp=failed",
        "0:start>W 3000:t>W 6000:t>W 9000:t>TO", "",
        "Адрес 192.0.2.200 вне подсети интерфейса 198.51.100.10/24");
    Row("outside the subnet behind a gateway: ARP first", "local=198.51.100.10/24 gateway arp=failed",
        "0:start>W 3000:t>W 6000:t>W 9000:t>TO", "", "(ARP) на интерфейсе 198.51.100.10");
    Row("outside the subnet behind a gateway", "local=198.51.100.10/24 gateway",
        "0:start>W 3000:t>W 6000:t>W 9000:t>TO", "", "вне подсети интерфейса 198.51.100.10/24");
    // A driver that brings an input the state does not take fails loudly.
    Row("an input before the start", "", "0:a0>! 0:t>! 0:r1>! 0:p>!", "", "");
    Row("an input after the end", "", "0:start>W 1:u>W 2:u>W 3:u>UE 4:a0>! 5:t>! 6:start>! 7:c>UE", "", "");
}

void TestUploadMachine::steps()
{
    QFETCH(QString, config);
    QFETCH(QString, inputs);
    QFETCH(QString, evidence);
    QFETCH(QString, reason);
    std::size_t Size = 1100;
    TUploadMachine::TConfig Config; // the tool's own limits
    Config.Device = DeviceAddress;
    Config.FileName = FirmwareFileName;
    TIpv4 Local = 0; // the interface's address; 0: any
    TDiagnosis Diagnosis;
    std::string SystemErrorName;
    for (const QString &Setting : config.split(' ', Qt::SkipEmptyParts)) {
        const QString Key = Setting.section('=', 0, 0), Value = Setting.section('=', 1);
        if (Key == "local") {
            Local = ipv4::Parse(Value.section('/', 0, 0).toStdString()).value_or(0);
            Diagnosis.Netmask = ~0u << (32 - Value.section('/', 1).toInt());
        } else if (Key == "gone")
            Diagnosis.AddressPresent = false;
        else if (Key == "link")
            Diagnosis.Link = Value == "down" ? TLinkState::Down : TLinkState::NoCarrier;
        else if (Key == "gateway")
            Diagnosis.GatewayLeadsThere = true;
        else if (Key == "arp")
            Diagnosis.Neighbour = TNeighbourState::Failed;
        else if (Key == "syserr")
            SystemErrorName = Value.toStdString();
        else if (Key == "devif")
            Diagnosis.DeviceInterface = Value.toStdString();
        else if (Key == "size")
            Size = Value.toUInt();
        else if (Key == "wait")
            Config.WaitForDevice = TUploadMachine::TMs(Value.toInt());
        else if (Key == "name")
            Config.FileName = Value.toStdString();
        else
            QFAIL(qPrintable("unknown setting " + Setting));
    }
    const std::vector<std::uint8_t> Image = MakeImage(Size, 1);
    Config.Image = Image;
    TUploadMachine Machine(Config);
    const QRegularExpression Token(R"(^(\d+):(\w+)(?::(\S*))?>(W|D\d+|-|OK|TO|DE|UE|!)(?:\+(\d+))?$)");
    for (const QString &Text : inputs.split(' ')) {
        const QRegularExpressionMatch M = Token.match(Text);
        QVERIFY2(M.hasMatch(), qPrintable("bad input " + Text));
        const TTime Now = At(M.captured(1).toDouble());
        const QString Input = M.captured(2), Want = M.captured(4);
        QString Argument = M.captured(3);
        const unsigned Number = Input.mid(1).toUInt();
        const char Kind = Input[0].toLatin1();
        TStep Step;
        try {
            if (Input == "start")
                Step = Machine.Start(Now);
            else if (Input == "setup") {
                TSetUp SetUp;
                SetUp.AddressIsOwn = Argument == "own";
                SetUp.BindError = Argument == "taken"   ? TBindError::AddressInUse
                                  : Argument == "group" ? TBindError::NoPermission
                                                        : TBindError::None;
                SetUp.BindHelper = Argument == "group" ? "/usr/lib/txloader/txloader-bind69" : "";
                SetUp.HelperRunnable = Argument != "group";
                SetUp.User = "user";
                SetUp.InterfaceError = Argument == "interface" ? 24 : 0;
                Step = Machine.SetUpFailed(SetUp, Now);
            } else if (Input == "t")
                Step = Machine.Timeout(Now);
            else if (Input == "p")
                Step = Machine.PortUnreachable(Now);
            else if (Input == "c")
                Step = Machine.Cancel(Now);
            else if (Kind == 'r')
                Step = Machine.SendRefused(int(Number), Now);
            else {
                using TBytes = std::vector<std::uint8_t>;
                QVERIFY2(QString("aexuzo").contains(Kind), qPrintable("unknown input " + Text));
                const TBytes Bytes = Kind == 'e'    ? Error(Number, Argument.replace('_', ' ').toStdString())
                                     : Input == "a" ? TBytes{0, 4}
                                     : Kind == 'u'  ? TBytes{0, 7, 0, 1}
                                     : Kind == 'z'  ? TBytes(4, 0)
                                     : Kind == 'o'  ? TBytes{4}
                                                    : Ack(Number);
                const auto Port = std::uint16_t(Kind == 'e' || Argument.isEmpty() ? 69 : Argument.toUInt());
                Step = Machine.Datagram(Kind == 'x' ? StrangerAddress : DeviceAddress, Port, Bytes, Now);
            }
        } catch (const std::logic_error &) {
            QVERIFY2(Want == "!", qPrintable(Text + ": refused"));
            continue;
        }
        QVERIFY2(Want != "!", qPrintable(Text + ": taken"));
        const QString Got = Written(Step);
        QVERIFY2(Got.section('+', 0, 0) == Want &&
                     (M.captured(5).isEmpty() || Got.section('+', 1) == M.captured(5)),
                 qPrintable(Text + ": " + Got));
        if (Step.Kind != TKind::Send)
            continue;
        // The packet itself: the WRQ for the name, or the block's bytes of the image.
        const QByteArray Sent(reinterpret_cast<const char *>(Step.Packet.data()),
                              qsizetype(Step.Packet.size()));
        if (Want == "W") {
            QCOMPARE(Sent, QByteArray("\0\2", 2) + FirmwareFileName + QByteArray("\0octet\0", 7));
        } else {
            const unsigned Block = Want.mid(1).toUInt();
            const std::size_t Offset = std::size_t(Block - 1) * 512;
            QCOMPARE(Sent.left(4), QByteArray("\0\3", 2) + char(Block >> 8) + char(Block & 0xFF));
            QCOMPARE(Sent.mid(4), QByteArray(reinterpret_cast<const char *>(Image.data() + Offset),
                                             qsizetype(std::min<std::size_t>(512, Size - Offset))));
        }
    }
    const TUploadEvidence Evidence = Machine.Evidence();
    const QStringList Words = EvidenceWords(Machine);
    for (const QString &Pair : evidence.split(' ', Qt::SkipEmptyParts))
        QVERIFY2(Words.contains(Pair), qPrintable(Pair + " not in " + Words.join(' ')));
    if (!Machine.Done())
        return;
    // The system's words, as the platform's own look-up gives them for that name.
    for (TSystemError *Error : {&Diagnosis.SendError, &Diagnosis.InterfaceError}) {
        const int Code = Error == &Diagnosis.SendError ? Evidence.SendError : Evidence.SetUp.InterfaceError;
        if (Code != 0)
            *Error = {Code, SystemErrorName, "words"};
    }
    const TTelling Told = Tell(Machine.Outcome(), Evidence, Diagnosis, Local, DeviceAddress);
    const QString Said = QString::fromStdString(Told.Reason);
    QVERIFY2(reason.isEmpty() ? Said.isEmpty() : Said.contains(reason), qPrintable(Said));
    // The status shows the result the machine gave.
    QCOMPARE(Told.Shown, Machine.Result());
}

void TestUploadMachine::blockNumbersWrap()
{
    // 65,537 blocks: block 65,536 goes out as number 0 and is proven by ACK 0; then 1 again.
    const std::vector<std::uint8_t> Image = MakeImage(65536 * 512 + 100, 2);
    TUploadMachine Machine({DeviceAddress, Image, FirmwareFileName, TUploadMachine::TMs(3000), 3, {}});
    TStep Step = Machine.Start(At(0));
    unsigned Sent = 0;
    for (unsigned Block = 0; Block <= 65537 && Step.Kind == TKind::Send; ++Block) {
        QCOMPARE(Step.Packet[1], std::uint8_t(Block == 0 ? 2 : 3));
        if (Block > 0)
            QCOMPARE(unsigned(Step.Packet[2] << 8 | Step.Packet[3]), Block & 0xFFFF);
        if (Block == 65537) // the stale ACK of block 1 is the only ACK 1 there can be now
            QVERIFY(Machine.Datagram(DeviceAddress, 69, Ack(0), At(1)).Kind == TKind::Wait);
        Step = Machine.Datagram(DeviceAddress, 69, Ack(Block & 0xFFFF), At(1));
        Sent = Block;
    }
    QCOMPARE(Sent, 65537u);
    QCOMPARE(Step.Kind, TKind::Done);
    QCOMPARE(Step.Result, trOK);
    QCOMPARE(Machine.Evidence().BlocksAcked, 65537u);
}

void TestUploadMachine::generatedUploads_data()
{
    // First seed and how many follow it. A seed that once failed, outside these, becomes a row.
    QTest::addColumn<quint64>("first");
    QTest::addColumn<int>("count");
    const quint64 Replay = qEnvironmentVariable("TXL_SEED").toULongLong();
    if (Replay) {
        Row("the seed in TXL_SEED", Replay, 1);
        return;
    }
    Row("12,000 generated devices and links", quint64(1), 12000);
}

void TestUploadMachine::generatedUploads()
{
    QFETCH(quint64, first);
    QFETCH(int, count);
    QElapsedTimer Clock;
    Clock.start();
    std::map<int, int> Outcomes;
    quint64 Inputs = 0;
    for (quint64 Seed = first; Seed < first + quint64(count); ++Seed) {
        TRandom Random(Seed);
        const TWorldModel Model = GenerateModel(Random);
        TWorld World(Seed, Model);
        const bool Held = World.Run();
        Inputs += World.Inputs;
        if (!Held)
            QFAIL(qPrintable(
                QString("seed %1: %2\n  %3\n  replay: TXL_SEED=%1 %4 generatedUploads")
                    .arg(Seed)
                    .arg(World.Failure, Model.Describe(), QCoreApplication::applicationFilePath())));
        ++Outcomes[int(World.Result())];
    }
    qInfo("%d uploads (OK %d, timeout %d, device error %d, unknown reply %d), %llu inputs, in %lld ms", count,
          Outcomes[trOK], Outcomes[trTimeout], Outcomes[trDeviceError], Outcomes[trUnknownError], Inputs,
          Clock.elapsed());
}

QTEST_GUILESS_MAIN(TestUploadMachine)
#include "tst_upload_machine.moc"
