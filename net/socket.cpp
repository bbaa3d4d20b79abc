#include "socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

const int readChunkBytes = 65536;
// One call never takes more than this, so a flooding peer cannot hold the worker.
const int readLimitBytes = 16 * 1024 * 1024;

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

NetResult Socket::readAvailable(int fd, QByteArray *data) {
    // One buffer per reading thread; only the worker thread reads.
    thread_local std::vector<char> buffer(readChunkBytes);
    NetResult result;
    int taken = 0;
    for (;;) {
        // Cleared so that a peer's orderly close reads as "Success", not a stale error.
        errno = 0;
        const ssize_t count = ::read(fd, buffer.data(), readChunkBytes);
        result.count = count;
        if (count > 0) {
            data->append(buffer.data(), static_cast<int>(count));
            taken += static_cast<int>(count);
            // A short read emptied the socket; a full one may have left more.
            if (count < readChunkBytes || taken >= readLimitBytes)
                break;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            result.count = taken;
            result.outcome = taken > 0 ? NetOutcome::Data : NetOutcome::Silent;
            return result;
        }
        // End of stream or an error. Bytes taken before it are still delivered; the
        // close shows again at the next read.
        if (taken > 0)
            break;
        result.outcome = NetOutcome::Closed;
        result.error = errno;
        return result;
    }
    result.outcome = NetOutcome::Data;
    result.count = taken;
    return result;
}

QString Socket::errorText(int error) {
    char text[256];
    // GNU strerror_r: returns the text, in text or in static storage.
    return QString::fromLocal8Bit(strerror_r(error, text, sizeof text));
}
