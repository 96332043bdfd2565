#include "CliOptions.h"

#include <charconv>

namespace {
// Above this a wait is a typing error, not a device that takes long to come up.
constexpr int MaxWaitSeconds = 3600;
constexpr int MaxCount = 1000000;

// A whole decimal number from Low to High, and nothing else.
bool Number(const std::string &Text, int Low, int High, int &Value)
{
    const auto [End, Failed] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return !Text.empty() && Failed == std::errc() && End == Text.data() + Text.size() && Value >= Low &&
           Value <= High;
}
} // namespace

std::optional<TCliOptions> ParseCliOptions(const std::vector<std::string> &Arguments, std::string &Error)
{
    TCliOptions Options;
    bool ModeGiven = false;
    const auto SetMode = [&](TCliOptions::TMode Mode) {
        if (ModeGiven && Options.Mode != Mode)
            return false;
        Options.Mode = Mode;
        ModeGiven = true;
        return true;
    };
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        const std::string &Argument = Arguments[i];
        const bool HasValue = i + 1 < Arguments.size();
        if (Argument == "--help" || Argument == "-h") {
            Options.Mode = TCliOptions::TMode::Help;
            return Options;
        }
        if (Argument == "--list" || Argument == "--version") {
            if (!SetMode(Argument == "--list" ? TCliOptions::TMode::List : TCliOptions::TMode::Version)) {
                Error = "--list и --version не сочетаются";
                return std::nullopt;
            }
        } else if (Argument == "--json") {
            Options.Json = true;
        } else if (Argument == "--quiet" || Argument == "-q") {
            Options.Quiet = true;
        } else if (Argument == "--interface" || Argument == "-i") {
            if (!HasValue || Arguments[i + 1].empty()) {
                Error = "после " + Argument + " нужен адрес или имя интерфейса";
                return std::nullopt;
            }
            Options.Interfaces.push_back(Arguments[++i]);
        } else if (Argument == "--wait" || Argument == "-w") {
            if (!Number(HasValue ? Arguments[i + 1] : std::string(), 1, MaxWaitSeconds,
                        Options.WaitSeconds)) {
                Error = "после " + Argument + " нужно число секунд от 1 до " + std::to_string(MaxWaitSeconds);
                return std::nullopt;
            }
            ++i;
        } else if (Argument == "--station") {
            Options.Station = true;
        } else if (Argument == "--count" || Argument == "-n") {
            if (!Number(HasValue ? Arguments[i + 1] : std::string(), 1, MaxCount, Options.Count)) {
                Error = "после " + Argument + " нужно число устройств от 1 до " + std::to_string(MaxCount);
                return std::nullopt;
            }
            ++i;
        } else if (Argument == "--log") {
            if (!HasValue || Arguments[i + 1].empty()) {
                Error = "после --log нужен путь к файлу";
                return std::nullopt;
            }
            Options.Log = Arguments[++i];
        } else if (Argument.size() > 1 && Argument[0] == '-') {
            Error = "неизвестный параметр " + Argument;
            return std::nullopt;
        } else if (Options.Device.empty()) {
            Options.Device = Argument;
        } else {
            Error = "лишний аргумент " + Argument + ": адрес устройства уже задан (" + Options.Device + ")";
            return std::nullopt;
        }
    }
    if (Options.Mode == TCliOptions::TMode::Upload && Options.Device.empty()) {
        Error = "не задан IP-адрес устройства";
        return std::nullopt;
    }
    // A station waits for every unit itself; counting and logging are a station's.
    if (Options.Station && Options.WaitSeconds > 0) {
        Error = "--station и --wait не сочетаются: станция ждёт каждое устройство сама";
        return std::nullopt;
    }
    if (!Options.Station && (Options.Count > 0 || !Options.Log.empty())) {
        Error = std::string(Options.Count > 0 ? "--count" : "--log") + " действует только с --station";
        return std::nullopt;
    }
    if (Options.Mode != TCliOptions::TMode::Upload && !Options.Device.empty()) {
        Error = "лишний аргумент " + Options.Device;
        return std::nullopt;
    }
    return Options;
}

const char *CliHelpText()
{
    return "Использование:\n"
           "  txloader-cli [--interface АДРЕС|ИМЯ]... [--wait СЕКУНДЫ] [--json] [--quiet] АДРЕС_УСТРОЙСТВА\n"
           "  txloader-cli --station [--interface АДРЕС|ИМЯ]... [--count N] [--log ФАЙЛ] [--json] АДРЕС\n"
           "  txloader-cli --list\n"
           "  txloader-cli --version | --help\n"
           "\n"
           "Загружает встроенный образ прошивки в устройство по TFTP (UDP, порт 69).\n"
           "\n"
           "  -i, --interface А|И  интерфейс, обращённый к устройству: его адрес или системное имя.\n"
           "                       Без него: единственный интерфейс или тот, в подсети которого\n"
           "                       адрес устройства. Несколько раз: образ уходит за каждый из них\n"
           "                       одновременно, на один и тот же адрес устройства.\n"
           "  -w, --wait СЕКУНДЫ   ждать устройство до СЕКУНД, повторяя запрос записи каждые 3 с\n"
           "      --json           одна строка JSON на устройство в стандартный вывод\n"
           "      --station        станция: загружать каждое устройство, что появится по АДРЕСУ,\n"
           "                       одно за другим (на каждом интерфейсе), до Ctrl+C или --count;\n"
           "                       устройство, оставшееся подключённым, повторно не загружается\n"
           "  -n, --count N        со --station: закончить после N устройств на каждом интерфейсе\n"
           "      --log ФАЙЛ       со --station: дописывать в ФАЙЛ строку JSON на каждое устройство\n"
           "  -q, --quiet          только ошибки\n"
           "      --list           интерфейсы, через которые можно загружать\n"
           "      --version        версия программы и встроенный образ\n"
           "\n"
           "Код завершения:\n"
           "    0  OK: устройство подтвердило каждый блок\n"
           "    1  таймаут\n"
           "    2  ошибка устройства\n"
           "    3  неизвестный ответ\n"
           "    4  ничего не отправлено (не удалось занять порт 69, отправка запрещена, интерфейс\n"
           "       выключен или его больше нет, адрес не одного устройства, например\n"
           "       широковещательный, или адрес этого компьютера)\n"
           "   64  ошибка в параметрах\n"
           "  130  прервано (Ctrl+C)\n"
           "С несколькими интерфейсами: 0, только если все устройства OK, иначе код первого\n"
           "неудачного в порядке параметров. Станция: 0, если все загруженные устройства OK,\n"
           "130, если прервана во время загрузки, иначе код первого неудачного устройства;\n"
           "4, если файл --log не открыть для дописывания.\n";
}
