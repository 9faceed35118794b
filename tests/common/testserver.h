#ifndef TVX_TEST_TESTSERVER_H
#define TVX_TEST_TESTSERVER_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "nativeprocess.h"

// Sets or unsets an environment variable and puts the old state back on destruction.
class ScopedEnvironmentVariable
{
public:
    explicit ScopedEnvironmentVariable(const char *name)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_value(qgetenv(name))
    {
    }
    ScopedEnvironmentVariable(const char *name, const QByteArray &value) : ScopedEnvironmentVariable(name)
    {
        set(value);
    }
    ~ScopedEnvironmentVariable()
    {
        if (m_wasSet)
            qputenv(m_name.constData(), m_value);
        else
            qunsetenv(m_name.constData());
    }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable &) = delete;
    ScopedEnvironmentVariable &operator=(const ScopedEnvironmentVariable &) = delete;

    void set(const QByteArray &value) { qputenv(m_name.constData(), value); }
    void unset() { qunsetenv(m_name.constData()); }

private:
    QByteArray m_name;
    bool m_wasSet;
    QByteArray m_value;
};

// Runs bin/tarvex-upgrade-server on 127.0.0.1 with a free port for the
// lifetime of the object. Extra arguments (--cert, --throttle-bytes-per-sec,
// --stall-after-bytes ...) are passed through. Set TVX_TEST_SERVER_LOG to
// see the server's request log. The Windows tests under Wine have the
// native server started for them (see nativeprocess.h).
class TestServer
{
public:
    TestServer() = default;
    ~TestServer() { stop(); }
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

#ifdef Q_OS_WIN
    static bool isAvailable() { return NativeProcess::isAvailable(); }
#else
    static QString programPath() { return QStringLiteral(TVX_BIN_DIR "/tarvex-upgrade-server"); }
    static bool isAvailable() { return QFileInfo(programPath()).isExecutable(); }
#endif

    bool start(const QString &rootDir, const QString &key, const QStringList &extraArguments = QStringList())
    {
        stop();
        m_url.clear();
        m_error.clear();
        QStringList arguments{QStringLiteral("--root"), rootDir, QStringLiteral("--key"), key,
                              QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("--port"), QStringLiteral("0")};
        arguments += extraArguments;
        const bool quiet = qEnvironmentVariableIsEmpty("TVX_TEST_SERVER_LOG");
        if (quiet)
            arguments << QStringLiteral("--quiet");
#ifdef Q_OS_WIN
        if (!m_process.start(QStringLiteral("tarvex-upgrade-server"), arguments)) {
            m_error = m_process.errorString();
            return false;
        }
#else
        if (quiet)
            m_process.setStandardErrorFile(QProcess::nullDevice());
        else
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(programPath(), arguments, QIODevice::ReadOnly);
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("cannot start %1: %2").arg(programPath(), m_process.errorString());
            return false;
        }
#endif
        const QByteArray marker("listening on ");
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith(marker)) {
                    m_url = QString::fromUtf8(line.mid(marker.size()));
                    return true;
                }
            }
            if (!isRunning())
                break;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
#ifdef Q_OS_WIN
        m_error = QStringLiteral("the server did not start");
#else
        m_error = QStringLiteral("the server did not start (exit code %1)").arg(m_process.exitCode());
#endif
        stop();
        return false;
    }

    void stop()
    {
#ifdef Q_OS_WIN
        m_process.stop();
#else
        stopProcess(m_process);
#endif
    }

#ifdef Q_OS_WIN
    bool isRunning() const { return m_process.isRunning(); }
#else
    bool isRunning() const { return m_process.state() == QProcess::Running; }
#endif
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
    QString url() const { return m_url; }
    // "127.0.0.1:PORT": the form the server cluster file keeps.
    QString hostAndPort() const { return m_url.mid(m_url.indexOf(QLatin1String("://")) + 3); }
    QString errorText() const { return m_error; }

private:
#ifdef Q_OS_WIN
    NativeProcess m_process;
#else
    QProcess m_process;
#endif
    QString m_url;
    QString m_error;
};

#endif // TVX_TEST_TESTSERVER_H
