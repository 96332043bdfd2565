#include "PortAdvice.h"

QString NoPortPermissionAdvice()
{
    // Any user may bind port 69 here; a refusal means another program holds
    // it for itself alone, or a security policy forbids it.
    return QStringLiteral("Система не дала программе UDP-порт 69: его держит для себя другая программа "
                          "(например, TFTP-сервер) или запрещает политика безопасности. Закройте такую "
                          "программу и повторите загрузку.");
}
