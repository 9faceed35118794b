#include "servercommands.h"

#include "clioptions.h"
#include "report.h"

#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/files/upgradetypes.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

int runServersShow(const CliOptions &options, const QString &strFilePath)
{
    ServerClusterInfo info;
    if (!readServerClusterInfo(strFilePath, info)) {
        std::fprintf(stderr,
                     "tarvex-upgrade: cannot read the server list %s; write it with \"tarvex-upgrade servers write "
                     "--server NAME=HOST[:PORT] --current NAME --prefix PREFIX --path PATH --key KEY\"\n",
                     qPrintable(strFilePath));
        return UPGRADE_OP_READ_SERVER_CFG_FAILED;
    }
    const QByteArray text = options.isJson
        ? serverClusterToJson(info, strFilePath, options.isShowKey)
        : serverClusterText(info, strFilePath, options.isShowKey).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return UPGRADE_OP_SUCCESS;
}

int runServersWrite(const CliOptions &options, const QString &strFilePath)
{
    ServerClusterInfo info;
    info.vecServers = options.vecServers;
    // Names are unique (the parser refuses doubles), so the index is the one
    // a read of the written file finds again.
    for (int i = 0; i < info.vecServers.size(); ++i) {
        if (info.vecServers.at(i).first == options.strCurrent)
            info.nCurrIndex = i;
    }
    info.strPrefix = options.strPrefix;
    info.strPath = options.strPath;
    info.strKey = options.strKey;

    const QString dir = QFileInfo(strFilePath).absolutePath();
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "tarvex-upgrade: cannot create the directory %s\n", qPrintable(dir));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    if (!saveServerClusterInfo(info, strFilePath)) {
        std::fprintf(stderr, "tarvex-upgrade: cannot write the server list %s\n", qPrintable(strFilePath));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    std::printf("Wrote %d server%s to %s\n", int(info.vecServers.size()), info.vecServers.size() == 1 ? "" : "s",
                qPrintable(strFilePath));
    return UPGRADE_OP_SUCCESS;
}
