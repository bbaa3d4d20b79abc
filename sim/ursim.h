// A Universal Robots controller simulator: serves the controller's primary-port stream
// (version message, robot state at a fixed rate, titled text messages, program variables)
// on loopback addresses, port 30001, for tests, the demo host and benchmarks.
//
// One thread serves all robots and all their clients with epoll and non-blocking sockets, and
// keeps the robots' next due times in a queue, so a wake-up costs only the robots that have
// something to do then: thousands of robots cost one thread. Every public member is
// thread-safe and may be called while the simulator serves.
//
//     ursim::Simulator sim;
//     ursim::Robot &r = sim.addRobot(ursim::RobotConfig::realistic("127.0.0.1"));
//     sim.start();
//     r.waitForConnections(1, 10000);
#pragma once

#include "urinstance.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ursim {

constexpr uint16_t kPort = 30001;

// A typed program variable value, encoded by the value layout of the robot's controller
// version (1: up to 3.2, 2: 3.3 to 5.8, 3: 5.9 and up).
class Value {
public:
    enum class Kind { None, String, Integer, Real, Byte, Pose, List, Raw };

    static Value none();
    static Value string(const QByteArray &text);
    static Value integer(int32_t v);
    static Value real(float v);
    static Value byte(uint8_t v);
    static Value pose(const std::array<float, 6> &p);
    static Value list(const QList<Value> &items);
    // Any type code and payload, sent as they are (for codes a layout does not know).
    static Value raw(uint8_t code, const QByteArray &payload);

    Kind kind() const { return kind_; }
    // Top-level form: type code, payload, one trailing byte.
    QByteArray encode(int layout) const;
    // The text a reader of the stream shows for this value: integers in decimal, reals as
    // printf %g, poses as p[x, y, z, rx, ry, rz] with 5 decimals, lists as [a,b]. Raw
    // values give an empty text.
    QString text() const;

    int32_t integerValue() const { return integer_; }
    float realValue() const { return real_; }
    void setInteger(int32_t v) { integer_ = v; }
    void setReal(float v) { real_ = v; }

private:
    Kind kind_ = Kind::None;
    QByteArray bytes_; // string text or raw payload
    int32_t integer_ = 0;
    float real_ = 0;
    uint8_t byte_ = 0;
    std::array<float, 6> pose_{};
    QList<Value> items_;
};

struct Variable {
    QByteArray name;
    Value value;
};

struct TitledMessage {
    QByteArray title;
    QByteArray text; // with animate on, "%1" is replaced by a running count
};

// How a robot treats its connections.
struct Scenario {
    enum class Kind {
        Normal,     // version, titled messages, variables, robot state at the rate
        Silent,     // accept and send nothing
        CloseAfter, // close each connection after `count` messages
        Refuse,     // no listener: connecting is refused
        Replay,     // send `bytes` on every tick instead of generated messages
        Split,      // as Normal, but write in pieces of `pieceBytes`, `pauseMs` apart
        StopAfter,  // as Normal, but silent after `count` messages, the connection kept open
        Trickle,    // a message header of length `count`, then one byte of it per tick
        Flood,      // 5-byte robot states (no sub-packages) as fast as the client takes them
    };
    Kind kind = Kind::Normal;
    int count = 0;
    int pieceBytes = 0;
    int pauseMs = 0;
    QByteArray bytes;

    static Scenario normal() { return {}; }
    static Scenario silent() { return {Kind::Silent, 0, 0, 0, {}}; }
    static Scenario closeAfter(int messages) { return {Kind::CloseAfter, messages, 0, 0, {}}; }
    static Scenario refuse() { return {Kind::Refuse, 0, 0, 0, {}}; }
    static Scenario replay(const QByteArray &b) { return {Kind::Replay, 0, 0, 0, b}; }
    static Scenario split(int pieceBytes, int pauseMs) {
        return {Kind::Split, 0, pieceBytes, pauseMs, {}};
    }
    static Scenario stopAfter(int messages) { return {Kind::StopAfter, messages, 0, 0, {}}; }
    static Scenario trickle(int length) { return {Kind::Trickle, length, 0, 0, {}}; }
    static Scenario flood() { return {Kind::Flood, 0, 0, 0, {}}; }
};

struct RobotConfig {
    QString address = QStringLiteral("127.0.0.1"); // a loopback address; port is always 30001

    // Version message.
    QByteArray projectName = "URControl";
    uint8_t major = 5;
    uint8_t minor = 12;
    uint32_t bugfix = 0;
    uint32_t build = 0;

    // Robot state, sent as it is while animate is off. The time stamp keeps its wire bytes
    // in memory order, as in the plug-in's record.
    robotstate_mode mode;
    QList<robotstate_joint> joints =
        QList<robotstate_joint>() << robotstate_joint{} << robotstate_joint{} << robotstate_joint{}
                                  << robotstate_joint{} << robotstate_joint{} << robotstate_joint{};
    robotstate_tool tool;
    robotstate_masterboard masterboard;
    robotstate_force force;

    // Program variables: the names go out in variable array messages after connecting (and
    // again when the names change), the values in series of variables value messages.
    QList<Variable> variables;
    int variableLayout = 0;      // 1, 2 or 3; 0 picks it from major.minor
    int variablesPerMessage = 0; // 0: all in one message
    int variablesIntervalMs = 500;

    // Titled text messages: all of them after connecting, then one every titledIntervalMs
    // in turn (0: only after connecting).
    QList<TitledMessage> titledMessages;
    int titledIntervalMs = 0;

    double rateHz = 10; // robot state messages per second; 0 or less sends none
    // A changing robot: temperatures and currents drift, the program runs and pauses, now
    // and then an emergency stop. Off: the values above are sent unchanged.
    bool animate = false;
    // Each robot state carries its send time in force.x: milliseconds since the epoch
    // modulo 1,000,000, so a reader can tell how old a value is.
    bool stampSendTime = false;

    Scenario scenario;

    // A realistic animated robot: project name, version 5.12, a program with a few variables
    // and occasional titled messages.
    static RobotConfig realistic(const QString &address);
};

// The value layout a controller of this version sends.
int layoutForVersion(int major, int minor);

struct Counters {
    int64_t connectionsAccepted = 0;
    int64_t messagesSent = 0; // whole messages handed to a client's send queue
    int64_t bytesSent = 0;    // bytes written to sockets
    int connectedClients = 0;
};

class Simulator;

// One simulated controller. Obtained from Simulator::addRobot; lives as long as the simulator.
class Robot {
public:
    ~Robot();
    Robot(const Robot &) = delete;
    Robot &operator=(const Robot &) = delete;

    QString address() const;
    RobotConfig config() const;

    // Replaces the whole description; a new scenario or address takes effect at once
    // (a new address re-binds a listening robot).
    void setConfig(const RobotConfig &cfg);
    void setScenario(const Scenario &scenario);
    void setMode(const robotstate_mode &mode);
    void setJoints(const QList<robotstate_joint> &joints);
    void setTool(const robotstate_tool &tool);
    void setMasterboard(const robotstate_masterboard &board);
    void setForce(const robotstate_force &force);
    void setVersion(const QByteArray &projectName, uint8_t major, uint8_t minor);
    void setVariables(const QList<Variable> &variables);
    void setTitledMessages(const QList<TitledMessage> &messages);
    void setAnimate(bool on);
    void setRateHz(double hz);
    void setStampSendTime(bool on);

    // Queues bytes to every connected client now, as one message for the counters.
    void sendRaw(const QByteArray &bytes);
    // Queues one titled text message to every connected client now.
    void sendTitledMessage(const QByteArray &title, const QByteArray &text);
    // Closes every current connection; the listener stays.
    void disconnectClients();

    // Listening follows the scenario (none for Refuse). start() fails if the address cannot
    // be bound; lastError() says why. Robots added before Simulator::start() start with it.
    bool start();
    void stop();
    bool isListening() const;
    QString lastError() const;

    Counters counters() const;
    int64_t connectionsAccepted() const { return counters().connectionsAccepted; }
    int64_t messagesSent() const { return counters().messagesSent; }
    int connectedClients() const { return counters().connectedClients; }

    // Wait until the condition holds or the time-out passes; true if it holds.
    bool waitFor(const std::function<bool(const Counters &)> &condition, int timeoutMs) const;
    bool waitForConnections(int64_t accepted, int timeoutMs) const;
    bool waitForConnectedClients(int clients, int timeoutMs) const; // exactly this many
    bool waitForMessages(int64_t messages, int timeoutMs) const;

private:
    friend class Simulator;
    struct State;
    Robot(Simulator *sim, const RobotConfig &cfg);
    Simulator *sim_;
    std::unique_ptr<State> d_;
};

class Simulator {
public:
    Simulator();
    ~Simulator(); // stops
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The reference stays valid as long as the simulator. Robots added while serving start
    // at once (see Robot::start for failures).
    Robot &addRobot(const RobotConfig &cfg);
    int robotCount() const;
    Robot &robot(int index);

    // Binds every robot and starts the serving thread; false if a robot could not be bound
    // (the others serve all the same).
    bool start();
    // Closes every listener and connection and joins the serving thread.
    void stop();
    bool isRunning() const;

    // Called on the serving thread, without locks held, for each notable event
    // (listening, connection accepted or closed); for printing.
    void setEventHandler(std::function<void(const QString &)> handler);

private:
    friend class Robot;
    struct Timer {
        int64_t dueMs;
        Robot *robot;
        bool operator>(const Timer &o) const { return dueMs > o.dueMs; }
    };
    void loop();
    void wake();
    void touch(Robot &r);                          // lock held; serviced on the next pass
    void schedule(Robot &r, int64_t nowMs);        // lock held; after servicing
    void handleReady(uint64_t token, uint32_t ev); // lock held
    bool watch(int fd, uint64_t token, Robot *owner);
    void dropSocket(int fd, uint64_t token);    // lock held
    bool bindRobot(Robot &r);                   // lock held
    void closeRobot(Robot &r);                  // lock held
    void serviceRobot(Robot &r, int64_t nowMs); // lock held
    void event(const QString &text);            // lock held

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Robot>> robots_;
    std::thread thread_;
    bool running_ = false;
    bool quit_ = false;
    int epollFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::function<void(const QString &)> handler_;
    QList<QString> events_;
    uint64_t nextToken_ = 1; // identifies watched sockets; 0 is the wake-up pipe
    std::unordered_map<uint64_t, Robot *> owners_; // token of each watched socket
    std::vector<Robot *> touched_;
    // Each robot's next due time; entries that no longer match the robot's are skipped.
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
};

// Robots that never answer: on each address a listener whose accept queue is full, so that
// connection attempts are dropped and time out, as with a robot that is switched off behind a
// switch. Closed by the destructor.
class Unreachable {
public:
    explicit Unreachable(const QList<QString> &addresses);
    ~Unreachable();
    Unreachable(const Unreachable &) = delete;
    Unreachable &operator=(const Unreachable &) = delete;
    // Addresses that could not be set up (not loopback, or already bound).
    QList<QString> failed() const { return failed_; }

private:
    std::vector<int> fds_;
    QList<QString> failed_;
};

// Raises the soft limit of open files to the hard limit; many robots need many descriptors.
// Returns the new soft limit.
long raiseFileLimit();

} // namespace ursim
