#ifndef TVX_TEST_NGINXSITE_H
#define TVX_TEST_NGINXSITE_H

#include "common/filetree.h"
#include "common/loopbackport.h"
#include "common/nativeprocess.h"
#include "common/processend.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QtDebug>

// A real nginx on 127.0.0.1 serving a release site as "tarvex-release
// publish" lays it out, for the lifetime of the object. Started as root,
// nginx serves as "nobody": everything on the way to the site must be
// readable by others.
class NginxSite
{
public:
    NginxSite() = default;
    ~NginxSite() { stop(); }
    NginxSite(const NginxSite &) = delete;
    NginxSite &operator=(const NginxSite &) = delete;

    static QString program() { return QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"}); }
    // Empty when nginx and its njs module are there; else what to QSKIP with.
    static const char *missing()
    {
#ifdef Q_OS_WIN
        return "nginx runs natively beside Wine: it cannot serve a site whose configuration names Windows paths";
#endif
        if (program().isEmpty() || !QFileInfo::exists(QStringLiteral("/usr/lib/nginx/modules/ngx_http_js_module.so")))
            return "nginx or its njs module (libnginx-mod-http-js) is not installed";
        return nullptr;
    }

    // Publishes strSite into strOut with strReleaseTool (and the extra
    // options of publish, from strWorkingDir) and serves it.
    bool start(const QString &strReleaseTool, const QString &strSite, const QString &strOut, const QString &strTokenKey,
               const QStringList &listExtra = {}, const QString &strWorkingDir = QString())
    {
        // The port is free when chosen but may be taken before nginx binds
        // it; what answers there is ours only once nginx has written its pid.
        for (int attempt = 0; attempt < 3; ++attempt) {
            stop();
            // nginx cannot choose one itself; a site that names its own
            // address (a signed report URL) is served there.
            const int port = m_nFixedPort > 0 ? m_nFixedPort : unusedLoopbackPort();
            m_hostAndPort = QStringLiteral("127.0.0.1:%1").arg(port);
            QFile::remove(strOut + "/nginx.pid");
            QProcess publish;
            publish.setWorkingDirectory(strWorkingDir);
            m_publishArguments = QStringList{"publish", "--root", strSite, "--out", strOut, "--prefix", "/api", "--path",
                                             "/upgrade/query", "--key", strTokenKey, "--listen", m_hostAndPort}
                + listExtra;
            startProcess(publish, strReleaseTool, m_publishArguments);
            if (port == 0 || !waitForProcessEnd(publish, 120000) || publish.exitStatus() != QProcess::NormalExit
                || publish.exitCode() != 0) {
                qWarning() << "publish failed:" << publish.readAllStandardError();
                return false;
            }
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            m_process.start(program(), {"-p", QFileInfo(QDir(strWorkingDir), strOut).absoluteFilePath(), "-c",
                                        "nginx.conf", "-g", "daemon off;"});
            QDeadlineTimer deadline(20000);
            while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
                const QString pidFile = QFileInfo(QDir(strWorkingDir), strOut + "/nginx.pid").absoluteFilePath();
                if (FileTree::readFile(pidFile).trimmed() == QByteArray::number(m_process.processId())
                    && acceptsLoopbackConnections(port))
                    return true;
                QThread::msleep(50);
            }
            qWarning() << "nginx did not start:"
                       << FileTree::readFile(QFileInfo(QDir(strWorkingDir), strOut + "/logs/error.log").absoluteFilePath());
        }
        return false;
    }

    void stop() { stopProcess(m_process); }
    // Serves the next start() on this port instead of a free one.
    void setPort(int nPort) { m_nFixedPort = nPort; }

    // "127.0.0.1:PORT": the form the server cluster file keeps.
    QString hostAndPort() const { return m_hostAndPort; }
    // The arguments of the publish that made the served site: a later one
    // with the same arguments replaces the release while nginx serves.
    QStringList publishArguments() const { return m_publishArguments; }

private:
    QProcess m_process;
    QString m_hostAndPort;
    QStringList m_publishArguments;
    int m_nFixedPort = 0;
};

#endif // TVX_TEST_NGINXSITE_H
