#include "SystemAdvice.h"

#include "BindHelper.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// The user's login name, or the number when the system knows no name for it.
QString UserName()
{
    passwd Entry{}, *Found = nullptr;
    char Buffer[1024];
    if (::getpwuid_r(::getuid(), &Entry, Buffer, sizeof Buffer, &Found) == 0 && Found)
        return QString::fromLocal8Bit(Found->pw_name);
    return QString::number(::getuid());
}
} // namespace

QString NoPortPermissionAdvice(const QString &Local)
{
    // Ports below 1024 need a capability here. The program itself has none:
    // its helper binds the port, on the address of one interface only.
    if (Local == QStringLiteral("0.0.0.0"))
        return QStringLiteral("Нет прав на UDP-порт 69 на всех адресах сразу. Перезапустите программу и "
                              "выберите интерфейс.");
    const QString Helper = QString::fromStdString(BindHelperPath());
    const QByteArray HelperFile = Helper.toLocal8Bit();
    // The package lets only root and its group txloader run the helper.
    if (::access(HelperFile.constData(), F_OK) == 0 && ::access(HelperFile.constData(), X_OK) != 0)
        return QStringLiteral("Нет прав на UDP-порт 69. Порт для программы занимает помощник %1, а запускать "
                              "его могут только члены группы txloader. Добавьте пользователя в группу: "
                              "sudo usermod -aG txloader %2, затем войдите в систему заново.")
            .arg(Helper, UserName());
    return QStringLiteral("Нет прав на UDP-порт 69. Порт для программы занимает помощник %1, а ему нужно "
                          "право на порты до 1024: sudo setcap cap_net_bind_service=+ep %1")
        .arg(Helper);
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
    case EMFILE:
        return QStringLiteral(
            "программе не хватило дескрипторов файлов (EMFILE; их предел задаёт ulimit -n)");
    case ENFILE:
        return QStringLiteral("системе не хватило дескрипторов файлов (ENFILE)");
    default:
        return QStringLiteral("%1 (код %2)").arg(QString::fromLocal8Bit(std::strerror(Code))).arg(Code);
    }
}
