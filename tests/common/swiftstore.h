#ifndef TVX_TEST_SWIFTSTORE_H
#define TVX_TEST_SWIFTSTORE_H

#include "processend.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtDebug>

// A private S3 object store on 127.0.0.1 (OpenStack Swift with s3api, by
// scripts/swift-store.sh) for the lifetime of the object. It stops by itself
// when the test process dies, too.
class SwiftStore
{
public:
    SwiftStore() = default;
    ~SwiftStore() { stop(); }
    SwiftStore(const SwiftStore &) = delete;
    SwiftStore &operator=(const SwiftStore &) = delete;

    static QString script() { return QStringLiteral(TVX_SOURCE_DIR "/scripts/swift-store.sh"); }
    // Empty when Swift can run here; else what to QSKIP with.
    static const char *missing()
    {
#ifdef Q_OS_WIN
        return "Swift runs natively beside Wine";
#endif
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/memcached"))
            || !QFileInfo::exists(QStringLiteral("/usr/lib/python3/dist-packages/swift")))
            return "OpenStack Swift or memcached is not installed (scripts/install-deps.sh)";
        return nullptr;
    }

    bool start()
    {
        if (!m_dir.isValid())
            return false;
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startProcess(process, QStringLiteral("bash"), {script(), QStringLiteral("start"), m_dir.path(),
                                                      QString::number(QCoreApplication::applicationPid())});
        if (!waitForProcessEnd(process, 120000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            qWarning() << "Swift did not start" << process.readAllStandardOutput();
            return false;
        }
        const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
        for (const QByteArray &line : lines) {
            const int equals = line.indexOf('=');
            if (equals > 0)
                m_values.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
        }
        m_isRunning = !endpoint().isEmpty();
        return m_isRunning;
    }

    void stop()
    {
        if (!m_isRunning)
            return;
        QProcess::execute(QStringLiteral("bash"), {script(), QStringLiteral("stop"), m_dir.path()});
        m_isRunning = false;
    }

    QString endpoint() const { return m_values.value(QStringLiteral("S3_ENDPOINT")); }
    // Where everyone reads a public bucket: anonymousUrl() + "/BUCKET/KEY".
    QString anonymousUrl() const { return m_values.value(QStringLiteral("ANON_BASE_URL")); }
    // The environment of a program that signs its requests.
    QStringList credentials() const
    {
        return {QStringLiteral("AWS_ACCESS_KEY_ID=") + m_values.value(QStringLiteral("S3_ACCESS_KEY")),
                QStringLiteral("AWS_SECRET_ACCESS_KEY=") + m_values.value(QStringLiteral("S3_SECRET_KEY")),
                QStringLiteral("AWS_REGION=us-east-1")};
    }

private:
    QTemporaryDir m_dir;
    QMap<QString, QString> m_values;
    bool m_isRunning = false;
};

#endif // TVX_TEST_SWIFTSTORE_H
