#include "socket.h"

#include "ur.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

const int readBufferSize = 65535;
const int readWaitMs = 500;

QString errorText(int error) {
    return qt_error_string(error);
}

bool setBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        UR::logError(QStringLiteral("Error fcntl F_GETFL ") + errorText(errno));
        return false;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(fd, F_SETFL, wanted) < 0) {
        UR::logError(QStringLiteral("Error fcntl F_SETFL ") + errorText(errno));
        return false;
    }
    return true;
}

// getaddrinfo rather than gethostbyname: the host process may resolve names on other
// threads, and gethostbyname's shared storage is not safe for that.
bool resolve(const QString &host, int port, sockaddr_in *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    *address = *reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    freeaddrinfo(found);
    return true;
}

} // namespace

bool Socket::connectToRobot(QString host, int port, int *socketFd, int timeoutMs) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    *socketFd = fd;

    sockaddr_in address{};
    if (host.isEmpty() || !resolve(host, port, &address)) {
        close(fd);
        UR::logError(QStringLiteral("Eror resolving host: ") + host);
        return false;
    }
    if (!setBlocking(fd, false)) {
        close(fd);
        return false;
    }

    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            const int error = errno;
            close(fd);
            UR::logError(QStringLiteral("Error connecting to robot: ") + host +
                         QStringLiteral(" Error: ") + errorText(error));
            return false;
        }
        // poll, not select: descriptors of 1024 and above must work too.
        pollfd waitFor{fd, POLLOUT, 0};
        const int ready = poll(&waitFor, 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            const int error = errno;
            close(fd);
            UR::logError(QStringLiteral("Error connecting to robot (select): ") + host +
                         QStringLiteral(" Error: ") + errorText(error));
            return false;
        }
        if (ready <= 0) {
            close(fd);
            UR::logError(QStringLiteral("Timeout connecting to robot: ") + host +
                         QStringLiteral(" Timeout: ") + QString::number(timeoutMs) +
                         QStringLiteral("ms"));
            return false;
        }
        // Writable also means "failed": a refused connection is an error, not an open one.
        int pending = 0;
        socklen_t length = sizeof pending;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0)
            pending = errno;
        if (pending != 0) {
            close(fd);
            UR::logError(QStringLiteral("Error connecting to robot: ") + host +
                         QStringLiteral(" Error: ") + errorText(pending));
            return false;
        }
    }

    if (!setBlocking(fd, true)) {
        close(fd);
        return false;
    }
    UR::logDebug(QStringLiteral("Connected to robot @ ") + host);
    return true;
}

bool Socket::readFromRobot(int *socketFd, QByteArray *data, urinstance *robot) {
    if (!robot->connected)
        return false;

    const int fd = *socketFd;
    pollfd waitFor{fd, POLLIN, 0};
    if (poll(&waitFor, 1, readWaitMs) <= 0) {
        close(fd);
        robot->socketOpen = false;
        return false;
    }

    // One buffer per thread that reads; only the worker thread does.
    thread_local std::vector<char> buffer(readBufferSize);
    errno = 0;
    const ssize_t count = read(fd, buffer.data(), readBufferSize);
    if (count > 0) {
        *data = QByteArray(buffer.data(), static_cast<int>(count));
        return true;
    }
    const int error = errno;
    close(fd);
    robot->socketOpen = false;
    UR::logError(QStringLiteral("Error reading from robot ") + robot->device.address +
                 QStringLiteral(" - ") + errorText(error) + QStringLiteral(" Read bytes: ") +
                 QString::number(count) + QStringLiteral(" FD: ") + QString::number(fd));
    return false;
}
