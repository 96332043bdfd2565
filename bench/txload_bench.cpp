// One upload of the built-in firmware with the real transfer client, timed,
// for bench/run.sh. Binds port 69 on --local, so it runs as root inside the
// benchmark's own network namespace.

#include "LoadData.h"
#include "TftpClient.h"
#include "TftpResult.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

namespace {

const char *ResultName(TTftpResult result)
{
    switch (result) {
    case trOK:
        return "trOK";
    case trTimeout:
        return "trTimeout";
    case trDeviceError:
        return "trDeviceError";
    case trUnknownError:
        return "trUnknownError";
    }
    return "?";
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString local, host;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == "--local" && i + 1 < args.size())
            local = args[++i];
        else if (args[i] == "--host" && i + 1 < args.size())
            host = args[++i];
        else {
            std::fprintf(stderr, "usage: txload_bench --local ADDR --host ADDR\n");
            return 64;
        }
    }
    if (host.isEmpty()) {
        std::fprintf(stderr, "usage: txload_bench --local ADDR --host ADDR\n");
        return 64;
    }

    QElapsedTimer total;
    total.start();
    auto *client = new TTftpClient(local);
    QElapsedTimer upload;
    upload.start();
    const TTftpResult result = client->Upload(host, FirmwareFileName);
    const qint64 uploadNs = upload.nsecsElapsed();
    delete client; // stops the receive thread: part of the cost of an upload
    const qint64 totalNs = total.nsecsElapsed();

    std::printf("result=%s upload_ms=%.3f total_ms=%.3f\n", ResultName(result), double(uploadNs) / 1e6,
                double(totalNs) / 1e6);
    std::fflush(stdout);
    return result == trOK ? 0 : int(result);
}
