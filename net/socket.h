// Minimal non-blocking TCP client for the robot controllers. It knows nothing of robots:
// every operation reports an outcome, and the worker decides what it means and what to log.
#pragma once

#include <QByteArray>
#include <QString>

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

    // Opens a non-blocking socket and starts connecting. Opened, Connecting (fd is then
    // set and open) or Refused (nothing stays open).
    static NetResult startConnect(in_addr address, int port, int *fd);
    // After the descriptor polled writable: Opened or Refused (closed). Writable also means
    // "failed", so the pending error decides.
    static NetResult finishConnect(int fd);

    // Takes everything the socket holds right now, appended to *data. Data, Silent (nothing
    // there yet, the connection stays open) or Closed (the descriptor is left open for the
    // caller to close).
    static NetResult readAvailable(int fd, QByteArray *data);

    // strerror, thread-safe; "Success" for 0.
    static QString errorText(int error);
};
