#include "socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

NetResult refused(int error, const char *call = nullptr) {
    NetResult result;
    result.outcome = NetOutcome::Refused;
    result.error = error;
    result.failedCall = call;
    return result;
}

} // namespace

bool Socket::numericAddress(const QString &host, in_addr *address) {
    return inet_pton(AF_INET, host.toUtf8().constData(), address) == 1;
}

bool Socket::ipv6Literal(const QString &host) {
    in6_addr address{};
    return inet_pton(AF_INET6, host.toUtf8().constData(), &address) == 1;
}

NetResult Socket::startConnect(in_addr address, int port, int *fd) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return refused(errno);
    const int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) {
        const int error = errno;
        ::close(s);
        return refused(error, "F_GETFL");
    }
    if (fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) {
        const int error = errno;
        ::close(s);
        return refused(error, "F_SETFL");
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            const int error = errno;
            ::close(s);
            return refused(error);
        }
        *fd = s;
        NetResult result;
        result.outcome = NetOutcome::Connecting;
        return result;
    }
    *fd = s;
    NetResult result;
    result.outcome = NetOutcome::Opened;
    return result;
}

NetResult Socket::finishConnect(int fd) {
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0)
        pending = errno;
    if (pending != 0) {
        ::close(fd);
        return refused(pending);
    }
    NetResult result;
    result.outcome = NetOutcome::Opened;
    return result;
}

char *Socket::readBuffer() {
    thread_local std::vector<char> buffer(readChunkBytes);
    return buffer.data();
}

ssize_t Socket::readOnce(int fd, char *buffer, size_t size) {
    for (;;) {
        errno = 0;
        const ssize_t count = ::read(fd, buffer, size);
        if (count < 0 && errno == EINTR)
            continue;
        return count;
    }
}

bool Socket::connectSettled(int fd) {
    pollfd one{fd, POLLOUT, 0};
    return ::poll(&one, 1, 0) > 0;
}

bool Socket::outOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE;
}

QString Socket::errorText(int error) {
    char text[256];
    // GNU strerror_r: returns the text, in text or in static storage.
    return QString::fromLocal8Bit(strerror_r(error, text, sizeof text));
}
