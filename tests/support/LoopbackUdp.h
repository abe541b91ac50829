#pragma once

// A UDP socket bound to a free port on 127.0.0.1.
#include <QtGlobal>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace knobly::test {

class LoopbackUdpSocket {
public:
    LoopbackUdpSocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackUdpSocket() { ::close(fd_); }
    LoopbackUdpSocket(const LoopbackUdpSocket &) = delete;
    LoopbackUdpSocket &operator=(const LoopbackUdpSocket &) = delete;

    int fd() const { return fd_; }
    quint16 port() const { return port_; }

private:
    int fd_ = -1;
    quint16 port_ = 0;
};

} // namespace knobly::test
