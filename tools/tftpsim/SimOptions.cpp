#include "SimOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <string_view>

const char *const UsageText =
    "usage: tftpsim --bind ADDR [--port N] [--out FILE] [--log FILE] [--once] [--each]\n"
    "               [--idle-timeout SEC] [--fault PACKET:KIND[:COUNT]]... [--drop FRACTION]\n"
    "               [--seed N] [--delay-ms MS] [--flood-count N] [--oversize-bytes N]\n"
    "               [--onebyte-value N] [--copies N] [--zero-acks] [--in-order]\n"
    "               [--repeat-last-ack] [--resend-ms MS] [--reply-port N] [--ack-skew N]\n"
    "               [--error-code N] [--error-message TEXT]\n"
    "       tftpsim --sha256 FILE\n"
    "Plays a device that takes a TFTP write on ADDR:PORT (UDP, default port 69).\n"
    "  --out FILE          save the received file (at completion, and at exit if incomplete)\n"
    "  --log FILE          one line per datagram: <ms> <opcode|-> <block|-> <length> <action>\n"
    "  --once              exit after the first complete transfer\n"
    "  --each              print the JSON summary after every complete transfer\n"
    "  --idle-timeout SEC  exit after SEC seconds without a datagram (0 if complete, else 3)\n"
    "  --fault P:K[:C]     packet P (0 = WRQ, n = DATA block n) gets fault K for C receptions\n"
    "                      (default 1, 'all' = every one); K: silent error unknown zero onebyte\n"
    "                      oversize flood lose close hang refuse restart. Several faults for one\n"
    "                      packet apply in turn.\n"
    "                      lose: the packet never reaches the device (neither kept nor answered)\n"
    "                      close: the device stops listening there, unanswered: from then on the\n"
    "                      system answers every packet with ICMP port unreachable\n"
    "                      hang: it answers nothing more, by its timer neither; refuse: ERROR,\n"
    "                      then as hang; restart: it forgets the transfer, takes no block before a WRQ\n"
    "  --drop F --seed N   lose fraction F of WRQ/DATA packets, seeded pseudo-randomly\n"
    "  --delay-ms MS       wait MS (fractions allowed) before every reply\n"
    "  --flood-count N     junk datagrams sent by the flood fault (default 1000)\n"
    "  --oversize-bytes N  length of the padded ACK of the oversize fault (default 3000)\n"
    "  --onebyte-value N   the byte the onebyte fault sends, 0..255 (default 0)\n"
    "  --copies N          send every reply N times, as a duplicating network does (1..10)\n"
    "  --zero-acks         every ACK carries block number 0\n"
    "  --in-order          take only the next block; a repeat of the last one is acknowledged\n"
    "                      again, any other block ignored (as RFC 1350 receivers do)\n"
    "  --repeat-last-ack   with --in-order: any other block is answered with the last ACK again\n"
    "  --resend-ms MS      re-send the last ACK after MS without a new packet, until complete\n"
    "  --reply-port N      answer from port N of the bound address (0: any free port)\n"
    "  --ack-skew N        a DATA block's ACK carries its number plus N (-100..100)\n"
    "  --error-code N      the error fault's ERROR code, 0..65535 (default 0)\n"
    "  --error-message T   its message (default 'simulated error'); \\xHH writes byte HH\n"
    "  --sha256 FILE       print the SHA-256 of FILE and exit\n";

namespace {

template <typename T> bool ParseUnsigned(std::string_view text, T &value, T max)
{
    unsigned long long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
        v > static_cast<unsigned long long>(max))
        return false;
    value = T(v);
    return true;
}

bool ParseDouble(std::string_view text, double &value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty() && std::isfinite(value);
}

// The text with every \xHH turned into byte HH, so a test can send any byte; nothing when malformed.
std::optional<std::string> Unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        unsigned byte = 0;
        if (text.substr(i + 1, 1) != "x" || i + 4 > text.size() ||
            std::from_chars(text.data() + i + 2, text.data() + i + 4, byte, 16).ptr != text.data() + i + 4)
            return std::nullopt;
        out += char(byte);
        i += 3;
    }
    return out;
}

// A fault's kind is the action it makes, by its name in the log; a lost packet's is lose.
std::optional<DeviceAction> ParseKind(std::string_view text)
{
    for (int kind = int(DeviceAction::Silent); kind <= int(DeviceAction::Restart); ++kind) {
        const auto action = DeviceAction(kind);
        if (text == (action == DeviceAction::Drop ? "lose" : ActionName(action)))
            return action;
    }
    return std::nullopt;
}

std::optional<std::string> ParseFault(std::string_view text, SimOptions &options)
{
    const auto bad = std::optional<std::string>("bad --fault '" + std::string(text) + "'");
    const std::size_t c1 = text.find(':');
    if (c1 == std::string_view::npos)
        return bad;
    const std::size_t c2 = text.find(':', c1 + 1);
    unsigned packet = 0;
    if (!ParseUnsigned(text.substr(0, c1), packet, 65535u))
        return bad;
    const auto kind = ParseKind(text.substr(c1 + 1, c2 == std::string_view::npos ? c2 : c2 - c1 - 1));
    if (!kind)
        return bad;
    FaultStep step{*kind, 1};
    if (c2 != std::string_view::npos) {
        const std::string_view count = text.substr(c2 + 1);
        if (count == "all")
            step.Count = -1;
        else if (!ParseUnsigned(count, step.Count, 1000000) || step.Count == 0)
            return bad;
    }
    options.Faults[packet].push_back(step);
    return std::nullopt;
}

} // namespace

std::optional<std::string> ParseOptions(int argc, char **argv, SimOptions &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string_view(argv[++i]);
        };
        auto need = [&](std::string_view name) { return "missing or bad value for " + std::string(name); };

        if (arg == "--once") {
            options.Once = true;
        } else if (arg == "--each") {
            options.SummaryEach = true;
        } else if (arg == "--zero-acks") {
            options.ZeroAcks = true;
        } else if (arg == "--in-order") {
            options.InOrder = true;
        } else if (arg == "--repeat-last-ack") {
            options.RepeatLastAck = true;
        } else if (arg == "--help" || arg == "-h") {
            return std::string("help");
        } else {
            const auto v = value();
            if (!v)
                return need(arg);
            bool ok = true;
            if (arg == "--bind") {
                in_addr parsed{};
                ok = inet_pton(AF_INET, std::string(*v).c_str(), &parsed) == 1;
                options.BindAddress = *v;
            } else if (arg == "--port") {
                ok = ParseUnsigned(*v, options.Port, std::uint16_t(65535));
            } else if (arg == "--out") {
                options.OutFile = *v;
                ok = !v->empty();
            } else if (arg == "--log") {
                options.LogFile = *v;
                ok = !v->empty();
            } else if (arg == "--idle-timeout") {
                ok = ParseDouble(*v, options.IdleTimeoutSec) && options.IdleTimeoutSec > 0 &&
                     options.IdleTimeoutSec < 1e6;
            } else if (arg == "--fault") {
                if (auto error = ParseFault(*v, options))
                    return error;
            } else if (arg == "--drop") {
                ok = ParseDouble(*v, options.DropFraction) && options.DropFraction >= 0 &&
                     options.DropFraction <= 1;
            } else if (arg == "--seed") {
                ok = ParseUnsigned(*v, options.Seed, ~std::uint64_t(0));
            } else if (arg == "--delay-ms") {
                ok = ParseDouble(*v, options.DelayMs) && options.DelayMs >= 0 && options.DelayMs <= 600000;
            } else if (arg == "--flood-count") {
                ok = ParseUnsigned(*v, options.FloodCount, 1000000u);
            } else if (arg == "--oversize-bytes") {
                // An ACK needs its 4 bytes; a UDP datagram over IPv4 holds at most 65,507.
                ok = ParseUnsigned(*v, options.OversizeBytes, 65507u) && options.OversizeBytes >= 4;
            } else if (arg == "--onebyte-value") {
                ok = ParseUnsigned(*v, options.OneByteValue, std::uint8_t(255));
            } else if (arg == "--copies") {
                ok = ParseUnsigned(*v, options.Copies, 10u) && options.Copies >= 1;
            } else if (arg == "--resend-ms") {
                ok = ParseDouble(*v, options.ResendMs) && options.ResendMs > 0 && options.ResendMs <= 600000;
            } else if (arg == "--ack-skew") {
                unsigned magnitude = 0;
                const bool negative = v->starts_with('-');
                ok = ParseUnsigned(v->substr(negative ? 1 : 0), magnitude, 100u);
                options.AckSkew = negative ? -int(magnitude) : int(magnitude);
            } else if (arg == "--reply-port") {
                std::uint16_t port = 0;
                ok = ParseUnsigned(*v, port, std::uint16_t(65535));
                options.ReplyPort = port;
            } else if (arg == "--error-code") {
                ok = ParseUnsigned(*v, options.ErrorCode, std::uint16_t(65535));
            } else if (arg == "--error-message") {
                const auto message = Unescape(*v);
                ok = message && message->size() < 1000;
                options.ErrorMessage = message.value_or("");
            } else if (arg == "--sha256") {
                options.HashFile = *v;
            } else {
                return "unknown option " + std::string(arg);
            }
            if (!ok)
                return need(arg);
        }
    }
    if (options.HashFile.empty() && options.BindAddress.empty())
        return std::string("--bind is required");
    return std::nullopt;
}
