#pragma once

#include "Ipv4.h"
#include "TftpPacket.h"
#include "TftpResult.h"
#include "UploadEvidence.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

// How an upload ended, decided by the machine alone; the front ends tell it.
enum class TOutcome : std::uint8_t {
    OK,           // every block acknowledged by its own number
    Timeout,      // the device stopped answering, or never did
    DeviceError,  // the device refused with ERROR
    UnknownReply, // the device answered something else
    NotSent,      // nothing reached the network: set-up failed, or every send was refused
    Interrupted,  // cancelled before the end
};

// One upload of an image by TFTP write, as rules alone: a write request, then
// the image in 512-byte DATA blocks, one packet in flight, each proven only by
// the device's ACK of its own number. It has no socket, thread, event loop or
// clock: a driver brings each input with its time, sends what it is told and
// waits no longer than it is told. It alone keeps the evidence.
//
// Per packet up to Attempts attempts of AttemptTimeout each. An ACK that names
// another block (a copy, a device's repeat, ACK 0 while a block is awaited)
// neither ends nor restarts the wait. ERROR and unknown opcodes end the attempt
// at once, and a device that answers so is present: waiting for it ends. When
// the attempts run out, the device's last word on the packet decides: a device
// that refused it and then fell silent has refused it. Datagrams from other
// addresses are counted, never taken as replies.
//
// An input the state does not take (a datagram before Start, a timeout after
// the end) is a driver's fault: it throws std::logic_error.
class TUploadMachine
{
public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;
    using TMs = std::chrono::milliseconds;

    // The tool's limits: three attempts of 3,000 ms per packet.
    static constexpr int AttemptMs = 3000;
    static constexpr int AttemptCount = 3;

    struct TConfig {
        TIpv4 Device = 0;
        std::span<const std::uint8_t> Image; // must outlive the machine
        std::string FileName;
        TMs AttemptTimeout{AttemptMs};
        int Attempts = AttemptCount;
        // The write request goes out every AttemptTimeout, and no sooner, until the
        // device answers or this has passed (at least the usual attempts).
        TMs WaitForDevice{0};
    };

    // What the driver does next.
    struct TStep {
        enum class TKind : std::uint8_t {
            Send, // send Packet to port 69 of the device, then as Wait
            Wait, // bring Timeout at Until, unless another input comes first
            Done, // the upload is over: Result
        };
        TKind Kind = TKind::Wait;
        std::span<const std::uint8_t> Packet; // valid until the next input
        TTime Until{};
        TTftpResult Result = trTimeout;
    };

    explicit TUploadMachine(TConfig Config);

    TStep Start(TTime Now);
    // Instead of Start: the driver found that nothing can be sent (SetUp says why).
    TStep SetUpFailed(const TSetUp &SetUp, TTime Now);
    // A datagram that arrived at At from From:Port.
    TStep Datagram(TIpv4 From, std::uint16_t Port, std::span<const std::uint8_t> Bytes, TTime At);
    // The time given by the last step has come (or a later one; earlier is no harm).
    TStep Timeout(TTime Now);
    // The system refused the last Send: its code.
    TStep SendRefused(int Code, TTime Now);
    // The system reported that nothing listens on the device's port.
    TStep PortUnreachable(TTime Now);
    // Ends the upload without another packet; at any time, once over it changes nothing.
    TStep Cancel(TTime Now);

    bool Done() const { return FState == TState::Done; }
    TOutcome Outcome() const { return FOutcome; }
    // The outcome as the protocol's result code.
    TTftpResult Result() const { return FResult; }
    const TUploadEvidence &Evidence() const { return FEvidence; }
    TUploadProgress Progress() const;

private:
    enum class TState : std::uint8_t {
        Idle,             // not started
        WaitingForDevice, // the write request again and again, the device not heard from yet
        Awaiting,         // a packet is out, its reply awaited
        Done,
    };
    // The device's last word on the awaited packet: after a refusal it may well fall silent.
    enum class TLastWord : std::uint8_t { None, Ack, Error, Unknown };

    void Expect(bool Accepted, const char *Input) const;
    TStep SendWriteRequest(TTime Now);
    TStep SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count, TTime Now);
    TStep SendWithRetry(TTime Now);
    TStep Proven(TTime Now);
    TStep AttemptFailed(TTftpResult Result, TTime Now);
    TStep Finish(TTftpResult Result, bool Cancelled = false);
    TStep Wait() const;
    void StartPacket(unsigned Block);

    TConfig FConfig;
    TState FState = TState::Idle;
    std::uint8_t FPacket[tftp::PacketBufferSize] = {};
    std::size_t FPacketLen = 0;
    unsigned FBlock = 0; // awaited: 0 the WRQ, n DATA block n
    unsigned FBlocks = 0;
    int FAttempt = 0; // attempts made of the awaited packet
    int FAttemptsAllowed = 0;
    bool FSentBefore = false; // a datagram left before the last Send
    TLastWord FLastWord = TLastWord::None;
    TTime FDeadline{};
    TOutcome FOutcome = TOutcome::Timeout;
    TTftpResult FResult = trTimeout;
    TUploadEvidence FEvidence;
};
