#include "SystemAdvice.h"

#include "BindHelper.h"

#include <cerrno>
#include <cstring>

QString NoPortPermissionAdvice(const QString &Local)
{
    // Ports below 1024 need a capability here. The program itself has none:
    // its helper binds the port, on the address of one interface only.
    if (Local == QStringLiteral("0.0.0.0"))
        return QStringLiteral("Нет прав на UDP-порт 69 на всех адресах сразу. Перезапустите программу и "
                              "выберите интерфейс.");
    return QStringLiteral("Нет прав на UDP-порт 69. Порт для программы занимает помощник %1, а ему нужно "
                          "право на порты до 1024: sudo setcap cap_net_bind_service=+ep %1")
        .arg(QString::fromStdString(BindHelperPath()));
}

QString SendErrorText(int Code)
{
    switch (Code) {
    case ENETUNREACH:
        return QStringLiteral("через этот интерфейс к такому адресу нет пути (ENETUNREACH)");
    case EHOSTUNREACH:
        return QStringLiteral("узел недоступен (EHOSTUNREACH)");
    case ENETDOWN:
        return QStringLiteral("сеть интерфейса отключена (ENETDOWN)");
    case EPERM:
    case EACCES:
        return QStringLiteral("отправку запретил брандмауэр или политика безопасности (%1)")
            .arg(QString::fromLatin1(Code == EPERM ? "EPERM" : "EACCES"));
    case ENOBUFS:
        return QStringLiteral("системе не хватило буферов (ENOBUFS)");
    default:
        return QStringLiteral("%1 (код %2)").arg(QString::fromLocal8Bit(std::strerror(Code))).arg(Code);
    }
}
