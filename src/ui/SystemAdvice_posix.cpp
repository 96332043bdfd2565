#include "PortAdvice.h"

#include <QCoreApplication>

QString NoPortPermissionAdvice()
{
    // Ports below 1024 need a capability here.
    return QStringLiteral("Нет прав на UDP-порт 69. Дайте программе право на порты до 1024: "
                          "sudo setcap cap_net_bind_service=+ep %1")
        .arg(QCoreApplication::applicationFilePath());
}
