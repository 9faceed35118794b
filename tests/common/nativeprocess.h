#ifndef TVX_TEST_NATIVEPROCESS_H
#define TVX_TEST_NATIVEPROCESS_H

#include "processend.h"

#include <QProcess>
#include <QtGlobal>

// Asks a test's helper process to end, and kills it when it does not.
inline void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!waitForProcessEnd(process, 10000)) {
        process.kill();
        waitForProcessEnd(process, 10000);
    }
}

#ifdef Q_OS_WIN

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

// winsock2.h must come before windows.h, and loopbackport.h includes it.
#include <winsock2.h>
#include <windows.h>

// A Linux program (the development server, nginx) run for a Windows test
// under Wine. Wine cannot follow a Linux process it starts, so the native
// tests/nativehost program starts it; TVX_TEST_NATIVE_HOST names its address
// ("127.0.0.1:PORT"). Absolute Windows paths among the arguments become the
// Linux paths Wine maps them to. Stopping it, or destroying the object,
// ends the program and waits for that.
class NativeProcess
{
public:
    NativeProcess() = default;
    ~NativeProcess() { stop(); }
    NativeProcess(const NativeProcess &) = delete;
    NativeProcess &operator=(const NativeProcess &) = delete;

    static QByteArray hostAddress() { return qgetenv("TVX_TEST_NATIVE_HOST"); }
    static bool isAvailable() { return !hostAddress().isEmpty(); }

    // The Linux path of a Windows path under Wine; the path itself elsewhere.
    static QString unixPath(const QString &path)
    {
        using Converter = char *(CDECL *)(LPCWSTR);
        static const auto convert = reinterpret_cast<Converter>(reinterpret_cast<void *>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        if (!convert)
            return path;
        const QString native = QDir::toNativeSeparators(path);
        char *converted = convert(reinterpret_cast<LPCWSTR>(native.utf16()));
        if (!converted)
            return path;
        const QString result = QString::fromLocal8Bit(converted);
        ::HeapFree(::GetProcessHeap(), 0, converted);
        return result;
    }

    // Runs a short program to its end: its exit code (-1 when it could not
    // run or crashed), with its merged output in *output.
    int run(const QString &program, const QStringList &arguments, const QString &workingDirectory,
            QByteArray *output, int msecs = 60000)
    {
        if (!start(program, arguments, workingDirectory, true))
            return -1;
        QDeadlineTimer deadline(msecs);
        while (m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired())
            m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        QByteArray answer = m_socket.readAll();
        stop();
        if (!answer.startsWith("exited ") || !answer.contains('\n')) {
            m_error = QStringLiteral("%1 did not end in time").arg(program);
            return -1;
        }
        const int end = answer.indexOf('\n');
        bool ok = false;
        const int code = answer.mid(7, end - 7).toInt(&ok);
        if (output)
            *output = answer.mid(end + 1);
        return ok ? code : -1;
    }

    bool start(const QString &program, const QStringList &arguments, const QString &workingDirectory = QString(),
               bool collect = false)
    {
        stop();
        m_error.clear();
        const QByteArray address = hostAddress();
        const int colon = address.lastIndexOf(':');
        if (colon < 0) {
            m_error = QStringLiteral("TVX_TEST_NATIVE_HOST is not set: run the tests with scripts/windows/test.sh");
            return false;
        }
        static const QRegularExpression windowsPath(QStringLiteral("^[A-Za-z]:[\\\\/]"));
        QJsonArray list;
        for (const QString &argument : arguments)
            list.append(windowsPath.match(argument).hasMatch() ? unixPath(argument) : argument);
        QJsonObject request{{QStringLiteral("program"), program}, {QStringLiteral("arguments"), list}};
        if (collect)
            request.insert(QStringLiteral("collect"), true);
        if (!workingDirectory.isEmpty())
            request.insert(QStringLiteral("workingDirectory"), unixPath(workingDirectory));
        m_socket.connectToHost(QString::fromLatin1(address.left(colon)), address.mid(colon + 1).toUShort());
        if (!m_socket.waitForConnected(10000)) {
            m_error = QStringLiteral("cannot reach the native host at %1: %2")
                          .arg(QString::fromLatin1(address), m_socket.errorString());
            return false;
        }
        m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        m_socket.waitForBytesWritten(10000);
        QDeadlineTimer deadline(20000);
        while (!m_socket.canReadLine() && !deadline.hasExpired() && m_socket.state() == QAbstractSocket::ConnectedState)
            m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        const QByteArray answer = m_socket.readLine().trimmed();
        if (!answer.startsWith("started ")) {
            m_error = QStringLiteral("the native host did not start %1: %2")
                          .arg(program, answer.isEmpty() ? QStringLiteral("no answer") : QString::fromUtf8(answer));
            m_socket.abort();
            return false;
        }
        return true;
    }

    bool isRunning() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool canReadLine() const { return m_socket.canReadLine(); }
    QByteArray readLine() { return m_socket.readLine(); }
    QByteArray readAll() { return m_socket.readAll(); }
    bool waitForReadyRead(int msecs) { return m_socket.waitForReadyRead(msecs); }
    QString errorString() const { return m_error; }

    // Asks the host to end the program and waits until it has.
    void stop()
    {
        if (m_socket.state() == QAbstractSocket::UnconnectedState)
            return;
        m_socket.write("stop\n");
        m_socket.waitForBytesWritten(10000);
        QDeadlineTimer deadline(25000);
        while (m_socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
            m_socket.readAll();
            m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        m_socket.abort();
    }

private:
    QTcpSocket m_socket;
    QString m_error;
};

#endif // Q_OS_WIN

#endif // TVX_TEST_NATIVEPROCESS_H
