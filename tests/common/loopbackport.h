#ifndef TVX_TEST_LOOPBACKPORT_H
#define TVX_TEST_LOOPBACKPORT_H

#include <QtGlobal>

#ifdef Q_OS_WIN
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <sys/socket.h>
#  include <unistd.h>
#endif

namespace LoopbackPort {

// One TCP socket for the lifetime of the object, with 127.0.0.1:port ready
// in address.
class Socket
{
public:
    explicit Socket(quint16 port)
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
#ifdef Q_OS_WIN
        WSADATA data;
        m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_fd = m_started ? ::socket(AF_INET, SOCK_STREAM, 0) : INVALID_SOCKET;
        m_open = m_fd != INVALID_SOCKET;
#else
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_open = m_fd >= 0;
#endif
    }
    ~Socket()
    {
#ifdef Q_OS_WIN
        if (m_open)
            ::closesocket(m_fd);
        if (m_started)
            ::WSACleanup();
#else
        if (m_open)
            ::close(m_fd);
#endif
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    bool bind() { return m_open && ::bind(m_fd, addressPointer(), sizeof(address)) == 0; }
    bool connect() { return m_open && ::connect(m_fd, addressPointer(), sizeof(address)) == 0; }
    quint16 boundPort()
    {
        socklen_t length = sizeof(address);
        return ::getsockname(m_fd, addressPointer(), &length) == 0 ? ntohs(address.sin_port) : 0;
    }

    sockaddr_in address = {};

private:
    sockaddr *addressPointer() { return reinterpret_cast<sockaddr *>(&address); }

#ifdef Q_OS_WIN
    SOCKET m_fd = INVALID_SOCKET;
    bool m_started = false;
#else
    int m_fd = -1;
#endif
    bool m_open = false;
};

} // namespace LoopbackPort

// A port on 127.0.0.1 that nothing listens on right now: bound once and
// closed. It refuses connections, or can be handed to a server that cannot
// choose a port itself; 0 when none could be had.
inline quint16 unusedLoopbackPort()
{
    LoopbackPort::Socket socket(0);
    return socket.bind() ? socket.boundPort() : 0;
}

// Whether something accepts connections on 127.0.0.1:port.
inline bool acceptsLoopbackConnections(int port)
{
    LoopbackPort::Socket socket{quint16(port)};
    return socket.connect();
}

#endif // TVX_TEST_LOOPBACKPORT_H
