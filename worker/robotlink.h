// The connection lifecycle of one robot: its states and every transition between them, with
// the log lines a host operator sees for each. The worker loop drives it; the transport only
// reports outcomes.
//
//   Waiting    --error wait over--------------------------> Reconnect
//   Reconnect  --attempt: opened--------------------------> Connected
//              --attempt: refused, timed out, unresolved--> Reconnect (Waiting in the set-up pass)
//   Connected  --read: data-------------------------------> Connected, error count 0
//              --read: closed or silent-------------------> Reconnect, error count + 1;
//                                                           Waiting when it was above 1
#pragma once

#include "socket.h"
#include "urinstance.h"

#include <QDateTime>

namespace robotlink {

// Fixed, whatever the host's discovery columns say.
constexpr int connectTimeoutMs = 500;

enum class State { Waiting, Reconnect, Connected };

State stateAt(const urinstance &robot, const QDateTime &now);

// What the read cycle can see of a robot's connection. A pass that changes it publishes.
struct Visible {
    bool connected = false;
    int errorCount = 0;
    bool waiting = false;
    bool operator==(const Visible &o) const {
        return connected == o.connected && errorCount == o.errorCount && waiting == o.waiting;
    }
    bool operator!=(const Visible &o) const { return !(*this == o); }
};
Visible visible(const urinstance &robot, const QDateTime &now);

// A connection attempt begins: "Reconnecting robot " when announced, any stale socket closed,
// and a new stream (bytes kept from the old one belong to nothing).
void attemptStarted(urinstance *robot, bool announce);
// The attempt's outcome (Opened, Refused, TimedOut, Unresolved; Connecting for a lookup that
// has not finished, which fails without a line). fd is the new connection when opened.
// Returns true when the robot is now connected.
bool attemptFinished(urinstance *robot, const NetResult &result, int fd, bool waitOnError,
                     bool announce);
// The outcome of a read: Data after the bytes were decoded; Closed or Silent otherwise.
void readFinished(urinstance *robot, const NetResult &result);

// Records the outcome of an attempt or read: the error wait, or none.
void setAvailability(urinstance *robot, bool available, bool waitOnError);
// Closes the robot's socket if, and only if, it is still open: a number closed before may
// belong to someone else by now.
void closeSocket(urinstance *robot);
// No wait: one year in the past.
QDateTime noWait();

} // namespace robotlink
