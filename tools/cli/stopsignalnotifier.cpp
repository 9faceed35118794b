#include "stopsignalnotifier.h"

#include <QDebug>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#  include <cerrno>
#  include <csignal>
#  include <fcntl.h>
#  include <unistd.h>
#endif

#ifdef Q_OS_UNIX
namespace {

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t isSecondSignalEnding = 1;
struct sigaction previousActions[3];
struct sigaction previousPipeAction;

void setAction(int nSignal, void (*handler)(int), struct sigaction *previous)
{
    struct sigaction action;
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(nSignal, &action, previous);
}

extern "C" void handleStopSignal(int nSignal)
{
    const int savedErrno = errno;
    const char byte = char(nSignal);
    // Nonblocking: a full pipe already holds a pending request.
    ssize_t written = write(signalPipe[1], &byte, 1);
    (void)written;
    if (isSecondSignalEnding) {
        for (const int stopSignal : stopSignals)
            setAction(stopSignal, SIG_DFL, nullptr);
    }
    errno = savedErrno;
}

bool setNonBlockingCloseOnExec(int fd)
{
    const int fdFlags = fcntl(fd, F_GETFD);
    const int flFlags = fcntl(fd, F_GETFL);
    return fdFlags >= 0 && flFlags >= 0 && fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) == 0
        && fcntl(fd, F_SETFL, flFlags | O_NONBLOCK) == 0;
}

} // namespace
#endif

CStopSignalNotifier::CStopSignalNotifier(Repeat repeat, QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    isSecondSignalEnding = repeat == SecondSignalEnds ? 1 : 0;
    if (pipe(signalPipe) != 0) {
        qWarning() << "create the signal pipe failed:" << qt_error_string(errno);
        signalPipe[0] = signalPipe[1] = -1;
        return;
    }
    if (!setNonBlockingCloseOnExec(signalPipe[0]) || !setNonBlockingCloseOnExec(signalPipe[1])) {
        qWarning() << "set up the signal pipe failed:" << qt_error_string(errno);
        close(signalPipe[0]);
        close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
        return;
    }
    m_pNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CStopSignalNotifier::readPipe);

    for (int i = 0; i < 3; ++i)
        setAction(stopSignals[i], handleStopSignal, &previousActions[i]);
    setAction(SIGPIPE, SIG_IGN, &previousPipeAction);
#else
    Q_UNUSED(repeat);
#endif
}

CStopSignalNotifier::~CStopSignalNotifier()
{
#ifdef Q_OS_UNIX
    if (!m_pNotifier)
        return;
    for (int i = 0; i < 3; ++i)
        sigaction(stopSignals[i], &previousActions[i], nullptr);
    sigaction(SIGPIPE, &previousPipeAction, nullptr);
    delete m_pNotifier;
    close(signalPipe[0]);
    close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
#endif
}

QString CStopSignalNotifier::signalName(int nSignal)
{
#ifdef Q_OS_UNIX
    switch (nSignal) {
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGHUP: return QStringLiteral("SIGHUP");
    default: break;
    }
#endif
    return QStringLiteral("signal %1").arg(nSignal);
}

void CStopSignalNotifier::readPipe()
{
    int nSignal = 0;
#ifdef Q_OS_UNIX
    char buffer[16];
    ssize_t got = 0;
    while ((got = read(signalPipe[0], buffer, sizeof buffer)) > 0)
        nSignal = buffer[got - 1];
#endif
    Q_EMIT stopRequested(nSignal);
}
