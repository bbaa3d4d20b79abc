// Minimal non-blocking TCP client for the robot controllers. It knows nothing of robots:
// every operation reports an outcome, and the worker decides what it means and what to log.
#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <netinet/in.h>
#include <sys/types.h>

enum class NetOutcome {
    Opened,     // the connection is established
    Connecting, // connect() is in progress: wait for the descriptor to become writable
    Refused,    // connect() or one of its set-up calls failed; `error` says why
    TimedOut,   // the connection did not complete within its deadline
    Unresolved, // the host name does not resolve
    Data,       // bytes were read
    Closed,     // the peer closed the connection, or the read failed
    Silent,     // nothing to read
};

struct NetResult {
    NetOutcome outcome = NetOutcome::Refused;
    int error = 0; // errno of the failing call, 0 when there is none
    // The set-up call that failed, for the log: "F_GETFL", "F_SETFL" or "select" (the wait);
    // null when connect() itself failed.
    const char *failedCall = nullptr;
    ssize_t count = 0; // the last read's result
};

class Socket {
public:
    // The IPv4 address of a numeric host text, without any lookup.
    static bool numericAddress(const QString &host, in_addr *address);
    // An IPv6 address text ("::1"), which this client cannot connect to.
    static bool ipv6Literal(const QString &host);

    // Opens a non-blocking socket and starts connecting. Opened, Connecting (fd is then
    // set and open) or Refused (nothing stays open).
    static NetResult startConnect(in_addr address, int port, int *fd);
    // After the descriptor polled writable: Opened or Refused (closed). Writable also means
    // "failed", so the pending error decides.
    static NetResult finishConnect(int fd);

    // Takes everything the socket holds right now, handing it to sink(const char *, size_t)
    // a chunk at a time, from one buffer of the calling thread (nothing is allocated per
    // read). Data, Silent (nothing there yet, the connection stays open) or Closed (the
    // descriptor is left open for the caller to close). The sink returns false to stop.
    template <typename Sink> static NetResult readAvailable(int fd, Sink &&sink);

    // True when a connection in progress has completed or failed (the descriptor is
    // writable), looked at without waiting.
    static bool connectSettled(int fd);
    // A socket or connect failure for want of descriptors (per process or system-wide).
    static bool outOfDescriptors(int error);

    // strerror, thread-safe; "Success" for 0.
    static QString errorText(int error);

private:
    static constexpr int readChunkBytes = 65536;
    // One call never takes more than this, so a flooding peer cannot hold the worker.
    static constexpr int readLimitBytes = 16 * 1024 * 1024;
    static char *readBuffer(); // readChunkBytes, one per reading thread
    // read(), retried on EINTR; errno cleared first, so an orderly close reads "Success".
    static ssize_t readOnce(int fd, char *buffer, size_t size);
};

template <typename Sink> NetResult Socket::readAvailable(int fd, Sink &&sink) {
    char *buffer = readBuffer();
    NetResult result;
    int taken = 0;
    for (;;) {
        const ssize_t count = readOnce(fd, buffer, readChunkBytes);
        if (count > 0) {
            taken += static_cast<int>(count);
            // A short read emptied the socket; a full one may have left more.
            if (!sink(static_cast<const char *>(buffer), static_cast<size_t>(count)) ||
                count < readChunkBytes || taken >= readLimitBytes)
                break;
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            result.count = taken;
            result.outcome = taken > 0 ? NetOutcome::Data : NetOutcome::Silent;
            return result;
        }
        // End of stream or an error. Bytes taken before it are still delivered; the close
        // shows again at the next read.
        if (taken > 0)
            break;
        result.outcome = NetOutcome::Closed;
        result.error = errno;
        result.count = count;
        return result;
    }
    result.outcome = NetOutcome::Data;
    result.count = taken;
    return result;
}
