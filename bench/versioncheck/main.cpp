// bench_versioncheck [--modules N] [--repeat R]
//
// Runs the version check's two costly steps against the development upgrade
// server answering N modules (default 10000) with N installed: the query with
// the reading of the JSON answer, and the comparison of release dates. The
// comparison is checked against the plain nested loop over both lists, which
// it must match exactly, order included, and the two are timed side by side.

#include "platform/http.h"
#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/cupgrade.h"
#include "upgrade/versionquery.h"

#include "common/modulerecords.h"
#include "common/testserver.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

// The comparison as a nested loop: every installed module against every
// server entry. The reference the indexed comparison must match.
void nestedLoop(const QVector<ModuleVersion> &vecLocal, const QVector<ModuleVersion> &vecServer,
                QVector<ModuleVersion> &vecNeed)
{
    for (const ModuleVersion &local : vecLocal) {
        for (const ModuleVersion &server : vecServer) {
            if (local.strId == server.strId && local.nState != 0 && local.llReleaseDate < server.llReleaseDate)
                vecNeed.append(server);
        }
    }
}

double medianMs(const QVector<qint64> &ns)
{
    return double(Bench::median(ns)) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int moduleCount = 10000;
    int repeat = 5;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--modules") && i + 1 < arguments.size())
            moduleCount = qMax(1, arguments.at(++i).toInt());
        else if (arguments.at(i) == QLatin1String("--repeat") && i + 1 < arguments.size())
            repeat = qMax(1, arguments.at(++i).toInt());
        else {
            std::fprintf(stderr, "usage: bench_versioncheck [--modules N] [--repeat R]\n");
            return 1;
        }
    }

    // The server offers N entries, some ids twice; the installed list holds
    // N modules in another order with a mix of older, equal and newer dates and
    // some with state 0, so that every branch of the comparison is taken.
    QTemporaryDir root;
    if (!root.isValid() || !QDir(root.path()).mkpath(QStringLiteral("packets")))
        return 1;
    QByteArray manifest = "{\"modules\": [";
    QVector<ModuleVersion> vecLocal;
    vecLocal.reserve(moduleCount);
    for (int i = 0; i < moduleCount; ++i) {
        // Every hundredth entry repeats the id before it with a later date.
        const QByteArray id = "module-" + QByteArray::number(i % 100 == 99 ? i - 1 : i);
        if (i > 0)
            manifest += ',';
        manifest += "{\"ID\": \"" + id + "\", \"Version\": \"2." + QByteArray::number(i)
                    + "\", \"ReleaseDate\": " + QByteArray::number(20240000 + i % 1000)
                    + ", \"Size\": \"1.5\", \"Desc\": \"Module " + QByteArray::number(i)
                    + "\", \"IconUrl\": \"http://icons/" + id + ".png\", \"Packet\": \"" + id + ".7z\"}";
    }
    manifest += "]}";
    for (int i = moduleCount - 1; i >= 0; --i) {
        ModuleVersion local;
        local.strId = QStringLiteral("module-%1").arg(i);
        local.llReleaseDate = 20240000 + (i % 1000) + (i % 3) - 1; // older, equal, newer
        local.nState = i % 7 == 0 ? 0 : 1 + i % 3;
        vecLocal.append(local);
    }
    {
        QFile file(root.filePath(QStringLiteral("manifest.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(manifest) != manifest.size())
            return 1;
    }

    TestServer server;
    if (!server.start(root.path(), QStringLiteral("bench-key"))) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 1;
    }
    ServerClusterInfo info;
    info.vecServers.append(qMakePair(QStringLiteral("test"), server.hostAndPort()));
    info.nCurrIndex = 0;
    info.strPrefix = QStringLiteral("/api");
    info.strPath = QStringLiteral("/upgrade/query");
    info.strKey = QStringLiteral("bench-key");

    CUpgrade upgrade;
    QVector<qint64> queryNs;
    QVector<qint64> parseNs;
    QVector<qint64> indexedNs;
    QVector<qint64> nestedNs;
    QVector<ModuleVersion> vecServer;
    QByteArray answer;
    int answerModules = 0;
    QVector<ModuleVersion> vecNeedIndexed;
    QVector<ModuleVersion> vecNeedNested;

    for (int r = 0; r < repeat; ++r) {
        QElapsedTimer timer;
        // The whole query: request, answer, reading.
        vecServer.clear();
        timer.start();
        if (!upgrade.getVersionInfoFromServer(info, vecServer)) {
            std::fprintf(stderr, "query failed\n");
            return 1;
        }
        queryNs << timer.nsecsElapsed();

        // The reading alone, on the answer's bytes.
        if (answer.isEmpty()) {
            const VersionRequest request = buildVersionRequest(info, 1);
            CHttp http;
            http.InitData();
            if (http.GetInfo(request.strUrl, QStringList{request.strHeader}) != HTTP_SUCCESS)
                return 1;
            answer = http.resultBody();
        }
        QVector<ModuleVersion> parsed;
        timer.start();
        if (!readVersionAnswer(answer, parsed))
            return 1;
        parseNs << timer.nsecsElapsed();
        answerModules = parsed.size();

        vecNeedIndexed.clear();
        timer.start();
        CUpgrade::getUpdateModuleInfo(vecLocal, vecServer, vecNeedIndexed);
        indexedNs << timer.nsecsElapsed();

        if (r < qMin(repeat, 3)) { // the nested loop is slow: three runs are enough
            vecNeedNested.clear();
            timer.start();
            nestedLoop(vecLocal, vecServer, vecNeedNested);
            nestedNs << timer.nsecsElapsed();
        }
    }

    if (!sameModules(vecNeedIndexed, vecNeedNested)) {
        std::fprintf(stderr, "the indexed comparison differs from the nested loop\n");
        return 2;
    }

    QTextStream out(stdout);
    out << "modules offered: " << answerModules << ", installed: " << vecLocal.size()
        << ", to upgrade: " << vecNeedIndexed.size() << ", answer: " << answer.size() << " bytes\n";
    out << "query + read (median of " << queryNs.size() << "): " << medianMs(queryNs) << " ms\n";
    out << "read answer  (median of " << parseNs.size() << "): " << medianMs(parseNs) << " ms\n";
    out << "compare, indexed (median of " << indexedNs.size() << "): " << medianMs(indexedNs) << " ms\n";
    out << "compare, nested loop (median of " << nestedNs.size() << "): " << medianMs(nestedNs) << " ms\n";
    out << "nested loop / indexed: " << medianMs(nestedNs) / qMax(1e-6, medianMs(indexedNs)) << "\n";
    out << "results identical, order included: yes\n";
    return 0;
}
