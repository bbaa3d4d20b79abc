// The connection of one robot: its stages and every transition between them, with the log
// lines a host operator sees for each. The worker's event loop drives it; the transport only
// reports outcomes.
//
//   Resting, Waiting --time is up----------------------------> attempt: Resolving or Connecting
//   Resolving        --address known-------------------------> Connecting
//   Connecting       --opened--------------------------------> Connected
//   attempt          --refused, timed out, unresolved--------> Resting (Waiting in the set-up)
//   Connected        --data: controller messages-------------> Connected, error count 0
//                    --closed, silent 0.5 s, stream lost------> Resting, error count + 1;
//                                                               Waiting when it was above 1
//
// A robot at rest is tried again after a short rest, as often as a pass of the loop used
// to come round; a robot in its error wait when the wait is over.
#pragma once

#include "socket.h"
#include "urinstance.h"

#include <QDateTime>

#include <cstdint>

class EventLoop;
class Publication;
class Resolver;
class URWrapper;
struct DecodeResult;

namespace robotlink {

// Fixed, whatever the host's discovery columns say.
constexpr int connectTimeoutMs = 500;
// A read fails when nothing has come for this long.
constexpr int silenceMs = 500;
// From a failed attempt or read to the next attempt.
constexpr int restMs = 50;

// How a read of a connected robot ended.
enum class ReadEnd { Data, Closed, Silent, StreamLost };

// A connection attempt begins: "Reconnecting robot " when announced, any stale socket closed,
// and a new stream (bytes kept from the old one belong to nothing).
void attemptStarted(urinstance *robot, bool announce);
// The attempt's outcome (Opened, Refused, TimedOut, Unresolved; Connecting for a lookup that
// has not finished, which fails without a line). fd is the new connection when opened.
// Returns true when the robot is now connected.
bool attemptFinished(urinstance *robot, const NetResult &result, int fd, bool waitOnError,
                     bool announce);
// The end of a read that decoded messages controller messages, robotStates of them robot
// states, at nowMs: Data when it went well; a failed read otherwise, with result for the
// Closed line.
void readFinished(urinstance *robot, ReadEnd end, const NetResult &result, int messages,
                  int robotStates, int64_t nowMs);

// Records the outcome of an attempt or read: the error wait, or none.
void setAvailability(urinstance *robot, bool available, bool waitOnError);
// Closes the robot's socket if, and only if, it is still open: a number closed before may
// belong to someone else by now.
void closeSocket(urinstance *robot);
// No wait: one year in the past (the record's time of day of the wait, for show only).
QDateTime noWait();

// What a robot's link uses of the loop that drives it.
struct Services {
    EventLoop *events = nullptr;
    Resolver *resolver = nullptr;
    URWrapper *decoder = nullptr;
    Publication *publication = nullptr;
    bool outOfDescriptors = false; // told once until a socket can be opened again
};

class Link {
public:
    enum class Stage { Resting, Waiting, Resolving, Connecting, Connected };

    Link(uint32_t key, urinstance *record, Services *services);

    // The set-up attempt: not announced, and a failure imposes the error wait.
    void startFirstAttempt(int64_t nowMs);
    bool setUpDone() const { return !firstAttempt; }
    Stage stage() const { return current; }

    // The loop's calls: the socket is ready, a timer came due, a lookup finished.
    void socketReady(int64_t nowMs);
    void timerDue(int64_t atMs, int64_t nowMs);
    void lookupDone(int64_t nowMs);
    // The stop: whatever is open is closed.
    void close();

private:
    void beginAttempt(int64_t nowMs);
    void connectTo(in_addr address, int64_t nowMs);
    // Connects to the address of the robot's host name, or fails the attempt when the name
    // does not resolve; false while the lookup runs.
    bool connectToLookedUp(int64_t nowMs);
    void attemptEnded(const NetResult &result, int fd, int64_t nowMs);
    void read(int64_t nowMs);
    void readEnded(ReadEnd end, const NetResult &result, int messages, int robotStates,
                   int64_t nowMs);
    void restOrWait(int64_t nowMs);
    void enter(Stage stage, int64_t atMs);
    void dropAttemptSocket();
    void changed();

    uint32_t key;
    urinstance *record;
    Services *services;
    Stage current = Stage::Resting;
    int64_t timerAtMs = -1; // the one armed timer that counts: when the stage's time is up
    int attemptFd = -1;     // the socket of a connection in progress
    int64_t lastDataMs = 0;
    bool firstAttempt = true;
    QString target;           // the address connected to
    bool addressTold = false; // an address of a kind not supported was told
};

} // namespace robotlink
