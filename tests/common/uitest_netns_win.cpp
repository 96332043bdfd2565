#include "uitest_netns.h"

#include <QTest>

namespace uitest {

QByteArray NetnsOf(const QByteArray &)
{
    return {}; // Z:/proc/self is the wineserver, not this program
}

bool InPrivateNetns()
{
    // tests/wine/wine-run.sh starts no program in the namespace in-netns.sh left.
    return !OuterNetns().isEmpty();
}

bool SetBindPrivilege(bool)
{
    return false; // Windows needs no privilege for port 69
}

bool UseBindHelper(const QString &)
{
    return false; // no helper: any user may bind port 69
}

bool HoldThreadCount(bool)
{
    return false; // no per-process thread limit to set from here
}

bool SwitchOff(const QString &Link, const QString &Address)
{
    // The one thing a Windows test does on the Linux side: the card must be on when the window
    // chooses it and off before the upload, a moment no wrapper sees. Wine starts a Linux program
    // but gives no process handle to wait for, so this starts ip and watches the interface list.
    const auto Offered = [&] {
        TNetInterfaceList List;
        List.Refresh();
        for (int i = 0; i < List.Count(); ++i)
            if (List.Strings(i) == Address)
                return true;
        return false;
    };
    return QProcess::startDetached(QStringLiteral("/usr/sbin/ip"), {"link", "set", Link, "down"}) &&
           QTest::qWaitFor([&] { return !Offered(); }, 10000);
}

} // namespace uitest
