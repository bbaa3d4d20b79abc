// A plain POSIX client of the controller port for the simulator tests: connects, reads
// whole messages by their length field, notices when the server closes.
#pragma once

#include <QByteArray>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

class TestClient {
public:
    ~TestClient() { close(); }

    // 0 on success, else the errno of connect().
    int connectTo(const QString &address, uint16_t port = 30001) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            const int err = errno;
            close();
            return err;
        }
        return 0;
    }

    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        buf_.clear();
        closed_ = false;
    }

    // Reads until at least n bytes are buffered, the peer closes, or the deadline passes.
    bool fill(int n, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buf_.size() < n && !closed_ && fd_ >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0)
                continue;
            char chunk[65536];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got > 0)
                buf_.append(chunk, int(got));
            else if (got == 0 || (errno != EINTR && errno != EAGAIN))
                closed_ = true;
        }
        return buf_.size() >= n;
    }

    // The next n bytes, or fewer if they did not come in time.
    QByteArray take(int n, int timeoutMs = 20000) {
        fill(n, timeoutMs);
        const QByteArray out = buf_.left(n);
        buf_.remove(0, out.size());
        return out;
    }

    // The next whole message (length field counts itself), or an empty array.
    QByteArray nextMessage(int timeoutMs = 20000) {
        if (!fill(4, timeoutMs))
            return QByteArray();
        const uint32_t len = (uint32_t(uint8_t(buf_[0])) << 24) |
                             (uint32_t(uint8_t(buf_[1])) << 16) |
                             (uint32_t(uint8_t(buf_[2])) << 8) | uint32_t(uint8_t(buf_[3]));
        if (len < 5 || len > (1u << 24) || !fill(int(len), timeoutMs))
            return QByteArray();
        return take(int(len), 0);
    }

    // Reads and keeps everything until the server closes; false if it stays open.
    bool waitClosed(int timeoutMs = 20000) {
        fill(1 << 30, timeoutMs);
        return closed_;
    }

    QByteArray &buffered() { return buf_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    QByteArray buf_;
    bool closed_ = false;
};
