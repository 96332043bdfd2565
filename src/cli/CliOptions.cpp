#include "CliOptions.h"

namespace {
// Above this a wait is a typing error, not a device that takes long to come up.
constexpr int MaxWaitSeconds = 3600;
} // namespace

std::optional<TCliOptions> ParseCliOptions(const QStringList &Arguments, QString &Error)
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
    for (qsizetype i = 0; i < Arguments.size(); ++i) {
        const QString &Argument = Arguments[i];
        const bool HasValue = i + 1 < Arguments.size();
        if (Argument == QStringLiteral("--help") || Argument == QStringLiteral("-h")) {
            Options.Mode = TCliOptions::TMode::Help;
            return Options;
        }
        if (Argument == QStringLiteral("--list") || Argument == QStringLiteral("--version")) {
            if (!SetMode(Argument == QStringLiteral("--list") ? TCliOptions::TMode::List
                                                              : TCliOptions::TMode::Version)) {
                Error = QStringLiteral("--list и --version не сочетаются");
                return std::nullopt;
            }
        } else if (Argument == QStringLiteral("--json")) {
            Options.Json = true;
        } else if (Argument == QStringLiteral("--quiet") || Argument == QStringLiteral("-q")) {
            Options.Quiet = true;
        } else if (Argument == QStringLiteral("--interface") || Argument == QStringLiteral("-i")) {
            if (!HasValue || Arguments[i + 1].isEmpty()) {
                Error = QStringLiteral("после %1 нужен адрес или имя интерфейса").arg(Argument);
                return std::nullopt;
            }
            Options.Interfaces << Arguments[++i];
        } else if (Argument == QStringLiteral("--wait") || Argument == QStringLiteral("-w")) {
            bool Ok = false;
            const int Seconds = HasValue ? Arguments[i + 1].toInt(&Ok) : 0;
            if (!Ok || Seconds < 1 || Seconds > MaxWaitSeconds) {
                Error = QStringLiteral("после %1 нужно число секунд от 1 до %2")
                            .arg(Argument)
                            .arg(MaxWaitSeconds);
                return std::nullopt;
            }
            Options.WaitSeconds = Seconds;
            ++i;
        } else if (Argument.startsWith(QLatin1Char('-')) && Argument != QStringLiteral("-")) {
            Error = QStringLiteral("неизвестный параметр %1").arg(Argument);
            return std::nullopt;
        } else if (Options.Device.isEmpty()) {
            Options.Device = Argument;
        } else {
            Error = QStringLiteral("лишний аргумент %1: адрес устройства уже задан (%2)")
                        .arg(Argument, Options.Device);
            return std::nullopt;
        }
    }
    if (Options.Mode == TCliOptions::TMode::Upload && Options.Device.isEmpty()) {
        Error = QStringLiteral("не задан IP-адрес устройства");
        return std::nullopt;
    }
    if (Options.Mode != TCliOptions::TMode::Upload && !Options.Device.isEmpty()) {
        Error = QStringLiteral("лишний аргумент %1").arg(Options.Device);
        return std::nullopt;
    }
    return Options;
}

QString CliHelpText()
{
    return QStringLiteral(
        "Использование:\n"
        "  txloader-cli [--interface АДРЕС|ИМЯ]... [--wait СЕКУНДЫ] [--json] [--quiet] АДРЕС_УСТРОЙСТВА\n"
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
        "неудачного в порядке параметров.\n");
}
