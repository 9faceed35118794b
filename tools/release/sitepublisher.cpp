#include "sitepublisher.h"

#include "releasetool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <cstdio>

namespace ReleaseTool {

namespace {

const QFileDevice::Permissions publicFile =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
const QFileDevice::Permissions publicDir = publicFile | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

QByteArray jsonString(const QString &text)
{
    // A one-element array gives the string with JSON's quoting, which is
    // also JavaScript's.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

bool writeText(const QString &strPath, const QByteArray &content, QString &strError)
{
    QFile file(strPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()) {
        strError = QStringLiteral("cannot write %1: %2").arg(strPath, file.errorString());
        return false;
    }
    file.close();
    // nginx's workers run as another user than its master when it starts as root.
    file.setPermissions(publicFile);
    return true;
}

QByteArray fillTemplate(const QString &strName, const QVector<QPair<QByteArray, QByteArray>> &values)
{
    QFile file(QStringLiteral(":/release/") + strName);
    file.open(QIODevice::ReadOnly);
    QByteArray text = file.readAll();
    for (const auto &value : values)
        text.replace(value.first, value.second);
    return text;
}

bool copyPacket(const QString &strFrom, const QString &strTo, QString &strError)
{
    QFile::remove(strTo);
    // A hard link costs nothing where the two trees share a file system.
    if (!QFile::link(strFrom, strTo) && !QFile::copy(strFrom, strTo)) {
        strError = QStringLiteral("cannot copy %1 to %2").arg(strFrom, strTo);
        return false;
    }
    QFile::setPermissions(strTo, publicFile);
    return true;
}

} // namespace

int publish(const PublishOptions &options)
{
    QString error;
    QJsonArray modules;
    if (!readManifestModules(options.strRoot, modules, error)) {
        printError(error);
        return 1;
    }
    static const QRegularExpression listenPattern(QStringLiteral("^([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\]):([0-9]{1,5})$"));
    const QRegularExpressionMatch listen = listenPattern.match(options.strListen);
    if (!listen.hasMatch() || listen.captured(2).toInt() < 1 || listen.captured(2).toInt() > 65535) {
        printError(QStringLiteral("--listen takes HOST:PORT, got \"%1\"").arg(options.strListen));
        return 1;
    }
    // The prefix and path go into nginx's configuration and its regular
    // expression: plain URL path characters only.
    static const QRegularExpression pathPattern(QStringLiteral("^(/[A-Za-z0-9._~-]+)*$"));
    if (!pathPattern.match(options.strPrefix).hasMatch() || !pathPattern.match(options.strPath).hasMatch()
        || options.strPath.isEmpty()) {
        printError(QStringLiteral("--prefix and --path take /segment/... of letters, digits and \"._~-\""));
        return 1;
    }
    if (options.strKey.contains(QLatin1Char('\n'))) {
        printError(QStringLiteral("--key may not hold a line break"));
        return 1;
    }

    const QString out = QFileInfo(options.strOut).absoluteFilePath();
    const QString site = out + QLatin1String("/site");
    for (const QString &dir : {out, site, site + QLatin1String("/packets"), out + QLatin1String("/logs"),
                               out + QLatin1String("/temp")}) {
        if (!QDir().mkpath(dir)) {
            printError(QStringLiteral("cannot create %1").arg(dir));
            return 1;
        }
        QFile::setPermissions(dir, publicDir);
    }

    QJsonObject release;
    const bool isSigned = QFileInfo::exists(releasePath(options.strRoot));
    if (isSigned) {
        QFile file(releasePath(options.strRoot));
        const QJsonDocument document =
            file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()) : QJsonDocument();
        if (!document.isObject()) {
            printError(QStringLiteral("%1 is unreadable").arg(releasePath(options.strRoot)));
            return 1;
        }
        release = document.object();
    }

    const QString packetsUrl = QStringLiteral("http://%1/packets/").arg(options.strListen);
    QJsonArray upgrade;
    for (const QJsonValue &value : qAsConst(modules)) {
        QJsonObject module = value.toObject();
        const QString packet = module.value(QLatin1String("Packet")).toString();
        if (!isSafeName(packet)) {
            printError(QStringLiteral("module \"%1\" has no packet: make it with \"tarvex-release pack\"")
                           .arg(module.value(QLatin1String("ID")).toString()));
            return 1;
        }
        QStringList packets{packet};
        const QJsonArray deltas = module.value(QLatin1String("Deltas")).toArray();
        for (const QJsonValue &delta : deltas)
            packets.append(delta.toObject().value(QLatin1String("Packet")).toString());
        for (const QString &name : qAsConst(packets)) {
            if (!isSafeName(name)) {
                printError(QStringLiteral("module \"%1\" lists a delta packet without a plain name")
                               .arg(module.value(QLatin1String("ID")).toString()));
                return 1;
            }
            if (!copyPacket(options.strRoot + QLatin1String("/packets/") + name,
                            site + QLatin1String("/packets/") + name, error)) {
                printError(error);
                return 1;
            }
        }
        if (!module.contains(QLatin1String("Url")) && !module.contains(QLatin1String("OutUrl")))
            module.insert(QStringLiteral("Url"), packetsUrl + packet);
        upgrade.append(module);
    }
    QJsonObject answer{{QStringLiteral("retcode"), 0},
                       {QStringLiteral("value"), QJsonObject{{QStringLiteral("upgrade"), upgrade}}}};
    if (isSigned)
        answer.insert(QStringLiteral("release"), release);

    const QByteArray queryRegex = QRegularExpression::escape(options.strPrefix + options.strPath).toUtf8();
    QByteArray queryBody;
    QByteArray jsImport;
    if (options.strKey.isEmpty()) {
        queryBody = "        rewrite ^ /answer.json last;";
    } else {
        jsImport = "    js_import tvx_token from " + out.toUtf8() + "/token.js;\n";
        queryBody = "        js_content tvx_token.answer;";
    }
    const QVector<QPair<QByteArray, QByteArray>> values{
        {"@DIR@", out.toUtf8()},
        {"@LISTEN@", options.strListen.toUtf8()},
        {"@QUERY_REGEX@", queryRegex},
        {"@QUERY_BODY@", queryBody},
        {"@JS_IMPORT@", jsImport},
        {"@TOKEN_MODULE_NOTE@",
         options.strKey.isEmpty() ? QByteArray("# No token check (published without --key).")
                                  : QByteArray("# The token check needs njs: load_module "
                                               "/usr/lib/nginx/modules/ngx_http_js_module.so; in the main context.")},
        {"@LOAD_MODULE@",
         options.strKey.isEmpty() ? QByteArray() : QByteArray("load_module /usr/lib/nginx/modules/ngx_http_js_module.so;")},
        {"@PREFIX_JSON@", jsonString(options.strPrefix)},
        {"@KEY_JSON@", jsonString(options.strKey)},
    };

    if (!writeText(site + QLatin1String("/answer.json"), QJsonDocument(answer).toJson(QJsonDocument::Compact), error)
        || !writeText(out + QLatin1String("/server.conf"), fillTemplate(QStringLiteral("server.conf.in"), values), error)
        || !writeText(out + QLatin1String("/nginx.conf"), fillTemplate(QStringLiteral("nginx.conf.in"), values), error)
        || (!options.strKey.isEmpty()
            && !writeText(out + QLatin1String("/token.js"), fillTemplate(QStringLiteral("token.js.in"), values), error))) {
        printError(error);
        return 1;
    }
    if (options.strKey.isEmpty())
        QFile::remove(out + QLatin1String("/token.js"));
    if (!isSigned)
        std::fprintf(stderr, "tarvex-release: warning: %s is not signed; installations that trust a key refuse it\n",
                     qPrintable(options.strRoot));
    std::printf("Published %d module(s) to %s\nRun: nginx -p %s -c nginx.conf\nQuery: http://%s%s%s/NUMBER\n",
                int(upgrade.size()), qPrintable(out), qPrintable(out), qPrintable(options.strListen),
                qPrintable(options.strPrefix), qPrintable(options.strPath));
    return 0;
}

} // namespace ReleaseTool
