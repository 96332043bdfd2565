#include "UploadMachine.h"

#include <algorithm>
#include <stdexcept>

TUploadMachine::TUploadMachine(TConfig Config) : FConfig(std::move(Config))
{
    FBlocks = unsigned(FConfig.Image.size() / tftp::BlockSize + 1);
    FEvidence.Blocks = FBlocks;
}

void TUploadMachine::Expect(bool Accepted, const char *Input) const
{
    static const char *const States[] = {"before the start", "while waiting for the device",
                                         "while awaiting a reply", "after the end"};
    if (!Accepted)
        throw std::logic_error(std::string("upload machine: ") + Input + " " + States[int(FState)]);
}

TUploadMachine::TStep TUploadMachine::Start(TTime Now)
{
    Expect(FState == TState::Idle, "Start");
    return SendWriteRequest(Now);
}

TUploadMachine::TStep TUploadMachine::SetUpFailed(const TSetUp &SetUp, TTime)
{
    Expect(FState == TState::Idle, "SetUpFailed");
    FEvidence.SetUp = SetUp;
    // An address that names no device is no answer of one: the same words as an unknown reply.
    return Finish(SetUp.AddressRefused() ? trUnknownError : trTimeout);
}

TUploadMachine::TStep TUploadMachine::SendWriteRequest(TTime Now)
{
    StartPacket(0);
    const auto Length = tftp::BuildWriteRequest(FPacket, FConfig.FileName);
    if (!Length)
        return Finish(trUnknownError);
    FPacketLen = *Length;
    // Waiting for a device that is not up yet: the usual spacing, for as long as asked.
    const auto Timeout = std::max(FConfig.AttemptTimeout.count(), TMs::rep(1));
    FAttemptsAllowed =
        std::max<int>(FConfig.Attempts, int((FConfig.WaitForDevice.count() + Timeout - 1) / Timeout));
    FState = FConfig.WaitForDevice.count() > 0 ? TState::WaitingForDevice : TState::Awaiting;
    return SendWithRetry(Now);
}

TUploadMachine::TStep TUploadMachine::SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count,
                                                    TTime Now)
{
    StartPacket(Block);
    const auto Length = tftp::BuildDataPacket(FPacket, Block, FConfig.Image, Offset, Count);
    if (!Length)
        return Finish(trUnknownError);
    FPacketLen = *Length;
    FAttemptsAllowed = FConfig.Attempts;
    FState = TState::Awaiting;
    return SendWithRetry(Now);
}

void TUploadMachine::StartPacket(unsigned Block)
{
    // The evidence of a packet belongs to the packet that fails.
    FBlock = Block;
    FAttempt = 0;
    FLastWord = TLastWord::None;
    FEvidence.Block = Block;
    FEvidence.SendError = 0;
    FEvidence.PortUnreachable = 0;
    FEvidence.StrayAcks = 0;
    FEvidence.ZeroAcks = 0;
    FEvidence.RepeatedAcks = 0;
}

TUploadMachine::TStep TUploadMachine::SendWithRetry(TTime Now)
{
    if (++FAttempt > 1)
        ++FEvidence.Retries;
    FDeadline = Now + FConfig.AttemptTimeout;
    FSentBefore = FEvidence.AnySent;
    FEvidence.AnySent = true; // unless the driver says the system refused it
    TStep Step;
    Step.Kind = TStep::TKind::Send;
    Step.Packet = {FPacket, FPacketLen};
    Step.Until = FDeadline;
    return Step;
}

TUploadMachine::TStep TUploadMachine::Datagram(TIpv4 From, std::uint16_t Port,
                                               std::span<const std::uint8_t> Bytes, TTime At)
{
    Expect(FState == TState::WaitingForDevice || FState == TState::Awaiting, "Datagram");
    const int Opcode = tftp::ReplyOpcode(Bytes);
    // Without an opcode a datagram ends nothing, so it must not stop the clock either.
    if (Opcode <= 0)
        return Wait();
    // Only the device answers for the device; any port of it will do.
    if (From != FConfig.Device) {
        if (FEvidence.Foreign++ == 0)
            FEvidence.ForeignAddress = From;
        return Wait();
    }
    FEvidence.DeviceHeard = true;
    if (Opcode == tftp::OpAck) {
        // An ACK too short to carry a number says no more than ACK 0. Block numbers
        // are 16 bits on the wire; ACK 0 proves the write request, and a block only
        // where its number wraps to 0.
        const unsigned Number = tftp::AckBlock(Bytes).value_or(0);
        if (Number == (FBlock & 0xFFFFu)) {
            if (FBlock == 0)
                FEvidence.WrqReplyPort = Port;
            else
                ++FEvidence.BlocksAcked;
            return Proven(At);
        }
        FLastWord = TLastWord::Ack;
        ++FEvidence.StrayAcks;
        if (Number == 0)
            ++FEvidence.ZeroAcks;
        // The block before, again: the device is waiting for this one, which never reached it.
        if (FBlock > 1 && Number == ((FBlock - 1) & 0xFFFFu))
            ++FEvidence.RepeatedAcks;
        return Wait();
    }
    // The device is there and refuses, or says something else: no more waiting for it.
    FAttemptsAllowed = std::min(FAttemptsAllowed, FConfig.Attempts);
    FState = TState::Awaiting;
    if (Opcode == tftp::OpError) {
        FLastWord = TLastWord::Error;
        const auto Error = tftp::ParseError(Bytes);
        FEvidence.DeviceErrorCode = Error && Error->Code ? int(*Error->Code) : -1;
        FEvidence.DeviceErrorMessage = Error ? Error->Message : std::string();
        return AttemptFailed(trDeviceError, At);
    }
    FLastWord = TLastWord::Unknown;
    return AttemptFailed(trUnknownError, At);
}

TUploadMachine::TStep TUploadMachine::Proven(TTime Now)
{
    if (FBlock == FBlocks)
        return Finish(trOK);
    const unsigned Block = FBlock + 1;
    const std::size_t Offset = std::size_t(Block - 1) * tftp::BlockSize;
    // The last block is shorter than 512 bytes; after whole blocks, it is empty.
    return SendDataBlock(Block, Offset, std::min(FConfig.Image.size() - Offset, tftp::BlockSize), Now);
}

TUploadMachine::TStep TUploadMachine::Timeout(TTime Now)
{
    Expect(FState == TState::WaitingForDevice || FState == TState::Awaiting, "Timeout");
    if (Now < FDeadline)
        return Wait();
    return AttemptFailed(trTimeout, Now);
}

TUploadMachine::TStep TUploadMachine::SendRefused(int Code, TTime Now)
{
    Expect(FState == TState::WaitingForDevice || FState == TState::Awaiting, "SendRefused");
    FEvidence.SendError = Code;
    FEvidence.AnySent = FSentBefore;
    // Until a first datagram has gone out no reply can come: the attempt ends at
    // once, but while waiting for the device its spacing holds.
    if (!FEvidence.AnySent && FState != TState::WaitingForDevice)
        return AttemptFailed(trTimeout, Now);
    return Wait();
}

TUploadMachine::TStep TUploadMachine::PortUnreachable(TTime)
{
    Expect(FState == TState::WaitingForDevice || FState == TState::Awaiting, "PortUnreachable");
    ++FEvidence.PortUnreachable;
    return Wait();
}

TUploadMachine::TStep TUploadMachine::Cancel(TTime)
{
    if (FState == TState::Done) {
        TStep Step;
        Step.Kind = TStep::TKind::Done;
        Step.Result = FResult;
        return Step;
    }
    return Finish(trTimeout, true);
}

TUploadMachine::TStep TUploadMachine::AttemptFailed(TTftpResult Result, TTime Now)
{
    if (FAttempt < FAttemptsAllowed)
        return SendWithRetry(Now);
    if (FLastWord == TLastWord::Error)
        return Finish(trDeviceError);
    if (FLastWord == TLastWord::Unknown)
        return Finish(trUnknownError);
    return Finish(Result);
}

TUploadMachine::TStep TUploadMachine::Finish(TTftpResult Result, bool Cancelled)
{
    FState = TState::Done;
    FResult = Result;
    if (Cancelled)
        FOutcome = TOutcome::Interrupted;
    else if (Result != trOK && !FEvidence.AnySent)
        FOutcome = TOutcome::NotSent;
    else
        FOutcome = Result == trOK            ? TOutcome::OK
                   : Result == trDeviceError ? TOutcome::DeviceError
                   : Result == trTimeout     ? TOutcome::Timeout
                                             : TOutcome::UnknownReply;
    TStep Step;
    Step.Kind = TStep::TKind::Done;
    Step.Result = Result;
    return Step;
}

TUploadMachine::TStep TUploadMachine::Wait() const
{
    TStep Step;
    Step.Until = FDeadline;
    return Step;
}

TUploadProgress TUploadMachine::Progress() const
{
    TUploadProgress Progress;
    Progress.Blocks = FBlocks;
    Progress.BlocksAcked = FEvidence.BlocksAcked;
    Progress.BytesAcked =
        std::min(FConfig.Image.size(), std::size_t(FEvidence.BlocksAcked) * tftp::BlockSize);
    Progress.Retries = FEvidence.Retries;
    Progress.AwaitingDevice = FBlock == 0;
    return Progress;
}
