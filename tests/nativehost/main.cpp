// Starts native programs on behalf of test programs that run under Wine.
//
// A Linux program started from inside Wine is not a Windows process: Wine
// hands back a handle that reports it gone at once, and its output and its
// end are lost. So the Windows tests ask this program, which runs natively
// beside Wine, to start the development server or nginx for them.
//
// One request per connection on 127.0.0.1: a line of JSON,
//   {"program": "tarvex-upgrade-server", "arguments": [...], "workingDirectory": "..."}
// answered with "started PID\n" or "failed REASON\n", then the program's
// standard output as it comes. Its standard error goes to ours. Anything the
// client sends afterwards, or the client going away, stops the program
// (terminate, then kill); the connection closes once the program has ended.
// With "collect": true the output is held back instead and follows a line
// "exited CODE" once the program has ended: for short tools such as openssl.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

const int maxRequestBytes = 64 * 1024;
const int stopGraceMs = 10000;

// Only what a test needs, by name: never a path a client chose.
QString resolveProgram(const QString &name)
{
    if (name == QLatin1String("tarvex-upgrade-server"))
        return QStringLiteral(TVX_NATIVE_BIN_DIR "/tarvex-upgrade-server");
    if (name == QLatin1String("nginx") || name == QLatin1String("openssl"))
        return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    return QString();
}

class Session : public QObject
{
public:
    explicit Session(QTcpSocket *socket) : QObject(socket), m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { stopProgram(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
            if (!m_collect)
                m_socket->write(m_process.readAllStandardOutput());
        });
        connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
                [this](int exitCode, QProcess::ExitStatus status) {
                    if (m_collect)
                        m_socket->write("exited " + QByteArray::number(status == QProcess::NormalExit ? exitCode : -1)
                                        + '\n');
                    m_socket->write(m_process.readAllStandardOutput());
                    finish();
                });
        m_killTimer.setSingleShot(true);
        connect(&m_killTimer, &QTimer::timeout, this, [this] { m_process.kill(); });
    }

    ~Session() override
    {
        // The socket that owns this session is being destroyed: nothing may
        // reach it from the program's last signals.
        m_process.disconnect(this);
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(stopGraceMs);
        }
    }

private:
    void onReadyRead()
    {
        if (m_started) {
            m_socket->readAll();
            stopProgram();
            return;
        }
        if (!m_socket->canReadLine()) {
            if (m_socket->bytesAvailable() > maxRequestBytes)
                fail(QStringLiteral("request too long"));
            return;
        }
        m_started = true;
        QJsonParseError error;
        const QJsonDocument request = QJsonDocument::fromJson(m_socket->readLine(maxRequestBytes), &error);
        if (!request.isObject()) {
            fail(QStringLiteral("not a JSON object: %1").arg(error.errorString()));
            return;
        }
        const QJsonObject object = request.object();
        const QString name = object.value(QLatin1String("program")).toString();
        const QString program = resolveProgram(name);
        if (program.isEmpty()) {
            fail(QStringLiteral("no program %1 here").arg(name));
            return;
        }
        QStringList arguments;
        const QJsonArray list = object.value(QLatin1String("arguments")).toArray();
        for (const QJsonValue &value : list)
            arguments << value.toString();
        m_collect = object.value(QLatin1String("collect")).toBool();
        if (m_collect)
            m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setWorkingDirectory(object.value(QLatin1String("workingDirectory")).toString());
        m_process.start(program, arguments, QIODevice::ReadOnly);
        if (!m_process.waitForStarted(stopGraceMs)) {
            fail(m_process.errorString());
            return;
        }
        m_socket->write("started " + QByteArray::number(m_process.processId()) + '\n');
    }

    void stopProgram()
    {
        if (m_process.state() == QProcess::NotRunning) {
            finish();
            return;
        }
        if (!m_killTimer.isActive()) {
            m_process.terminate();
            m_killTimer.start(stopGraceMs);
        }
    }

    void fail(const QString &reason)
    {
        m_socket->write("failed " + reason.toUtf8() + '\n');
        finish();
    }

    // Closing flushes what is still to be written first; the socket goes
    // (and this session with it) once it is closed.
    void finish()
    {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->disconnectFromHost();
        else
            m_socket->deleteLater();
    }

    QTcpSocket *m_socket;
    QProcess m_process;
    QTimer m_killTimer;
    bool m_started = false;
    bool m_collect = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Starts the development server or nginx natively for test programs that run under Wine.\n"
        "Prints \"listening on 127.0.0.1:PORT\" once it accepts requests."));
    parser.addHelpOption();
    QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1 (default: a free one)."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    parser.addOption(portOption);
    parser.process(app);

    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535) {
        std::fprintf(stderr, "tvxtest-nativehost: invalid port %s\n", qPrintable(parser.value(portOption)));
        return 1;
    }
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, quint16(port))) {
        std::fprintf(stderr, "tvxtest-nativehost: cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new Session(socket);
    });
    std::printf("listening on 127.0.0.1:%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    return app.exec();
}
