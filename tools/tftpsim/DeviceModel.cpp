#include "DeviceModel.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr std::uint8_t OpWrq = 2;
constexpr std::uint8_t OpData = 3;
constexpr std::uint8_t OpAck = 4;
constexpr std::uint8_t OpError = 5;
constexpr std::size_t BlockSize = 512;

TDeviceModel::TBytes Ack(unsigned number)
{
    return {0, OpAck, std::uint8_t(number >> 8), std::uint8_t(number)};
}

} // namespace

const char *ActionName(DeviceAction action)
{
    static constexpr const char *names[] = {"ack",     "silent",   "error",   "unknown", "zero",
                                            "onebyte", "oversize", "flood",   "drop",    "close",
                                            "hang",    "refuse",   "restart", "repeat",  "ignore"};
    static_assert(std::size(names) == std::size_t(DeviceAction::Ignore) + 1);
    return names[std::size_t(action)];
}

TDeviceModel::TDeviceModel(TDeviceConfig config)
    : FConfig(std::move(config)), FDropRandom(FConfig.Seed), FJunkRandom(FConfig.Seed ^ 0x6a756e6b6a756e6bULL)
{}

TDeviceModel::TAnswer TDeviceModel::Receive(std::span<const std::uint8_t> datagram, TTime at)
{
    const int opcode = datagram.size() >= 2 ? datagram[0] << 8 | datagram[1] : -1;
    const bool isWrq = opcode == OpWrq;
    const bool isData = opcode == OpData && datagram.size() >= 4 && datagram.size() <= 4 + BlockSize &&
                        (datagram[2] | datagram[3]) != 0;
    if (!isWrq && !isData)
        return {};
    if (FClosed)
        return {DeviceAction::Close, {}};
    // A lost packet never reaches the device: no state change, no fault used up.
    if (FConfig.DropFraction > 0 && FDropRandom.NextUnit() < FConfig.DropFraction)
        return {DeviceAction::Drop, {}};
    if (FHung)
        return {DeviceAction::Hang, {}};

    const unsigned block = isData ? unsigned(datagram[2] << 8 | datagram[3]) : 0;
    FAckTimer = at; // whatever arrives restarts the re-send timer
    // Only the next block, or the last one again; anything else goes unanswered. After a
    // restart not even that, before a WRQ.
    const unsigned next = FTransfer.NextBlock;
    if (isData && (FConfig.InOrder || (FRestarted && !FTransfer.Started)) &&
        (!FTransfer.Started || (block != next && block + 1 != next))) {
        if (FConfig.RepeatLastAck && FLastAck)
            return {DeviceAction::Repeat, {Ack(*FLastAck)}};
        return {};
    }
    const DeviceAction action = TakeFault(block);
    FClosed = action == DeviceAction::Close;
    FHung = action == DeviceAction::Hang || action == DeviceAction::Refuse;
    if (action == DeviceAction::Restart) {
        FTransfer = TTransfer{};
        FLastAck.reset();
        FRestarted = true;
    }
    if (FClosed || action == DeviceAction::Drop || action == DeviceAction::Hang ||
        action == DeviceAction::Restart) // as if it never came
        return {action, {}};
    if (isWrq)
        OnWriteRequest(datagram, at);
    else
        OnData(block, datagram.subspan(4), at);
    return Reply(action, block, at);
}

DeviceAction TDeviceModel::TakeFault(unsigned packet)
{
    const auto steps = FConfig.Faults.find(packet);
    for (FaultStep &step : steps == FConfig.Faults.end() ? std::span<FaultStep>() : steps->second) {
        if (step.Count != 0) { // counts down as it is used
            step.Count -= step.Count > 0;
            return step.Kind;
        }
    }
    return DeviceAction::Ack;
}

void TDeviceModel::OnWriteRequest(std::span<const std::uint8_t> datagram, TTime at)
{
    // A WRQ again before any DATA is the client retrying, not a new transfer.
    if (FTransfer.Started && (FConfig.OneTransfer || FTransfer.Seen.empty())) {
        ++FTransfer.Packets;
        ++FTransfer.Repeats;
        return;
    }
    FTransfer = TTransfer{};
    FTransfer.Started = true;
    FTransfer.Begin = at;
    FTransfer.Packets = 1;
    // filename\0mode\0, then options we do not take up; tolerate missing terminators.
    const auto text = datagram.subspan(2);
    const auto nameEnd = std::find(text.begin(), text.end(), 0);
    FTransfer.File.assign(text.begin(), nameEnd);
    if (nameEnd != text.end()) {
        const auto modeEnd = std::find(nameEnd + 1, text.end(), 0);
        FTransfer.Mode.assign(nameEnd + 1, modeEnd);
    }
}

void TDeviceModel::OnData(unsigned block, std::span<const std::uint8_t> payload, TTime at)
{
    if (!FTransfer.Started) { // still as new
        FTransfer.Started = true;
        FTransfer.Begin = at;
    }
    ++FTransfer.Packets;
    if (block == FTransfer.NextBlock)
        ++FTransfer.NextBlock;
    if (FTransfer.Seen.size() <= block)
        FTransfer.Seen.resize(block + 1);
    if (FTransfer.Seen[block])
        ++FTransfer.Repeats;
    FTransfer.Seen[block] = true;

    const std::size_t offset = (block - 1) * BlockSize;
    const std::size_t end = offset + payload.size();
    if (FTransfer.Bytes.size() < end)
        FTransfer.Bytes.resize(end);
    std::copy(payload.begin(), payload.end(), FTransfer.Bytes.begin() + std::ptrdiff_t(offset));

    if (payload.size() < BlockSize && !FTransfer.Complete) {
        FTransfer.Complete = true;
        FTransfer.Bytes.resize(end);
        FTransfer.End = at;
    }
}

TDeviceModel::TAnswer TDeviceModel::Reply(DeviceAction action, unsigned block, TTime at)
{
    const unsigned number = FConfig.ZeroAcks || block == 0 ? 0 : unsigned(int(block) + FConfig.AckSkew);
    TBytes ack = Ack(number & (FConfig.EightBitAcks ? 0xFF : 0xFFFF));
    switch (action) {
    case DeviceAction::Silent:
        return {action, {}};
    case DeviceAction::Error:
    case DeviceAction::Refuse: {
        const std::string &text = FConfig.ErrorMessage; // sent with its terminating zero
        TBytes error{0, OpError, std::uint8_t(FConfig.ErrorCode >> 8), std::uint8_t(FConfig.ErrorCode)};
        error.insert(error.end(), text.c_str(), text.c_str() + text.size() + 1);
        return {action, {error}};
    }
    case DeviceAction::Unknown:
        return {action, {{0, 7, std::uint8_t(block >> 8), std::uint8_t(block)}}};
    case DeviceAction::Zero:
        return {action, {TBytes(4, 0)}};
    case DeviceAction::OneByte:
        return {action, {{FConfig.OneByteValue}}};
    case DeviceAction::Oversize: // the ACK, padded with zeros
        ack.resize(FConfig.OversizeBytes);
        return {action, {ack}};
    case DeviceAction::Flood: {
        TAnswer answer{action, {}};
        for (unsigned i = 0; i < FConfig.FloodCount; ++i) {
            TBytes junk(4 + FJunkRandom.Next() % (1500 - 4 + 1), 0);
            std::generate(junk.begin() + 2, junk.end(), [this] { return std::uint8_t(FJunkRandom.Next()); });
            answer.Replies.push_back(std::move(junk));
        }
        answer.Replies.push_back(ack);
        return answer;
    }
    default:
        FLastAck = ack[2] << 8 | ack[3];
        FAckTimer = at;
        return {action, {ack}};
    }
}

std::optional<TDeviceModel::TTime> TDeviceModel::ResendAt() const
{
    if (FConfig.ResendMs <= 0 || FClosed || FHung || !FLastAck || !FTransfer.Started || FTransfer.Complete)
        return std::nullopt;
    return FAckTimer + std::chrono::duration_cast<TTime::duration>(
                           std::chrono::duration<double, std::milli>(FConfig.ResendMs));
}

std::optional<TDeviceModel::TBytes> TDeviceModel::Resend(TTime now)
{
    const auto due = ResendAt();
    if (!due || now < *due)
        return std::nullopt;
    // An RFC 1350 receiver's timer: nothing new came, so the last ACK goes again.
    FAckTimer = now;
    return Ack(*FLastAck);
}
