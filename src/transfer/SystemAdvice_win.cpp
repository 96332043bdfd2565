#include "SystemAdvice.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

QString NoPortPermissionAdvice(const QString &)
{
    // Any user may bind port 69 here; a refusal means another program holds
    // it for itself alone, or a security policy forbids it.
    return QStringLiteral("Система не дала программе UDP-порт 69: его держит для себя другая программа "
                          "(например, TFTP-сервер) или запрещает политика безопасности. Закройте такую "
                          "программу и повторите загрузку.");
}

QString SendErrorText(int Code)
{
    switch (Code) {
    case WSAENETUNREACH:
        return QStringLiteral("через этот интерфейс к такому адресу нет пути (WSAENETUNREACH)");
    case WSAEHOSTUNREACH:
        return QStringLiteral("узел недоступен (WSAEHOSTUNREACH)");
    case WSAENETDOWN:
        return QStringLiteral("сеть интерфейса отключена (WSAENETDOWN)");
    case WSAEACCES:
        return QStringLiteral("отправку запретил брандмауэр или политика безопасности (WSAEACCES)");
    case WSAENOBUFS:
        return QStringLiteral("системе не хватило буферов (WSAENOBUFS)");
    default:
        break;
    }
    // The system's own words, in the language of the user's Windows.
    wchar_t *Text = nullptr;
    const DWORD Length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        DWORD(Code), 0, reinterpret_cast<wchar_t *>(&Text), 0, nullptr);
    QString Result = Length ? QString::fromWCharArray(Text, int(Length)).trimmed() : QString();
    if (Text)
        ::LocalFree(Text);
    return QStringLiteral("%1 (код %2)").arg(Result).arg(Code);
}
