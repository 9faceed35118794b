#include "sigintnotifier.h"

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

int sigIntPipe[2] = {-1, -1};
volatile sig_atomic_t isSecondInterruptEnding = 1;
struct sigaction previousAction;

void restoreDefaultAction()
{
    struct sigaction action;
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

extern "C" void handleSigInt(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // Nonblocking: a full pipe already holds a pending interrupt.
    ssize_t written = write(sigIntPipe[1], &byte, 1);
    (void)written;
    if (isSecondInterruptEnding)
        restoreDefaultAction();
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

CSigIntNotifier::CSigIntNotifier(Repeat repeat, QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    isSecondInterruptEnding = repeat == SecondInterruptEnds ? 1 : 0;
    if (pipe(sigIntPipe) != 0) {
        qWarning() << "create SIGINT pipe failed:" << qt_error_string(errno);
        sigIntPipe[0] = sigIntPipe[1] = -1;
        return;
    }
    if (!setNonBlockingCloseOnExec(sigIntPipe[0]) || !setNonBlockingCloseOnExec(sigIntPipe[1])) {
        qWarning() << "set up SIGINT pipe failed:" << qt_error_string(errno);
        close(sigIntPipe[0]);
        close(sigIntPipe[1]);
        sigIntPipe[0] = sigIntPipe[1] = -1;
        return;
    }
    m_pNotifier = new QSocketNotifier(sigIntPipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CSigIntNotifier::readPipe);

    struct sigaction action;
    action.sa_handler = handleSigInt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousAction);
#else
    Q_UNUSED(repeat);
#endif
}

CSigIntNotifier::~CSigIntNotifier()
{
#ifdef Q_OS_UNIX
    if (!m_pNotifier)
        return;
    sigaction(SIGINT, &previousAction, nullptr);
    delete m_pNotifier;
    close(sigIntPipe[0]);
    close(sigIntPipe[1]);
    sigIntPipe[0] = sigIntPipe[1] = -1;
#endif
}

void CSigIntNotifier::readPipe()
{
#ifdef Q_OS_UNIX
    char buffer[16];
    while (read(sigIntPipe[0], buffer, sizeof buffer) > 0) {
    }
#endif
    Q_EMIT interrupted();
}
