#include "ursim.h"

#include "robotstream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QHash>

#include <algorithm>
#include <chrono>
#include <limits>

namespace ursim {
namespace {

// A client that does not read gets no more than this queued; later messages are dropped
// whole, so the stream it eventually reads stays well framed.
constexpr int kMaxQueuedBytes = 8 * 1024 * 1024;
// Ticks due this close together are served in one pass; keeps the wake-up rate bounded with
// many robots.
constexpr int64_t kTickSlackMs = 5;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString errnoText(const char *what) {
    return QString::fromLatin1(what) + QStringLiteral(": ") +
           QString::fromLocal8Bit(strerror(errno));
}

// A socket closed while another reference to it lives on (a forked child before its exec)
// would still accept or take data; shutdown() ends it at once.
void closeSocket(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

bool sendsGenerated(Scenario::Kind k) {
    return k == Scenario::Kind::Normal || k == Scenario::Kind::Split ||
           k == Scenario::Kind::CloseAfter || k == Scenario::Kind::StopAfter;
}

// What a flooding robot sends over and over: 5-byte robot states, nothing in them.
const QByteArray &floodBlock() {
    static const QByteArray block = [] {
        QByteArray state("\0\0\0\5\x10", 5);
        QByteArray b;
        for (int i = 0; i < 13107; ++i)
            b.append(state);
        return b;
    }();
    return block;
}

QByteArray messageHeader(uint32_t length, uint8_t type) {
    const char bytes[] = {char(length >> 24), char(length >> 16), char(length >> 8), char(length),
                          char(type)};
    return QByteArray(bytes, sizeof bytes);
}

// A flood pass writes at most this much, so that it does not hold the serving thread.
constexpr int64_t kFloodPassBytes = 4 * 1024 * 1024;

} // namespace

struct Client {
    uint64_t id = 0;
    int fd = -1;
    QString peer;
    QByteArray out;
    int64_t sent = 0;
    bool greeted = false;
    bool closing = false; // close once the queue is written
    int64_t nextWriteMs = 0;
    bool watchingOut = false; // EPOLLOUT asked for: the queue waits for room in the socket
    int floodAt = 0;          // where in the flood block the next write starts
};

namespace {

// Writes the flood until the socket is full or the pass has written its share; false when
// the connection failed.
bool flood(Client &c, Counters &counters) {
    const QByteArray &block = floodBlock();
    for (int64_t written = 0; written < kFloodPassBytes;) {
        const ssize_t n = ::send(c.fd, block.constData() + c.floodAt,
                                 size_t(block.size() - c.floodAt), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.floodAt = int((c.floodAt + n) % block.size());
        counters.bytesSent += n;
        written += n;
    }
    return true;
}

} // namespace

struct Robot::State {
    RobotConfig cfg;
    bool wanted = true; // serve when the simulator runs
    int listenFd = -1;
    uint64_t listenToken = 0;
    bool touched = false;   // in the simulator's list to service on the next pass
    int64_t dueMs = kNever; // next time the robot has something to do, as queued
    QString lastError;
    std::vector<Client> clients;
    Counters counters;
    int64_t nextTickMs = 0;
    int64_t nextVariablesMs = 0;
    int64_t nextTitledMs = 0;
    int titledCursor = 0;
    stream::Animation anim;

    // Queues one message; false if the client takes no more.
    bool enqueue(Client &c, const QByteArray &msg) {
        if (c.closing)
            return false;
        const Scenario &s = cfg.scenario;
        if (s.kind == Scenario::Kind::CloseAfter && c.sent >= s.count) {
            c.closing = true;
            return false;
        }
        if (s.kind == Scenario::Kind::StopAfter && c.sent >= s.count)
            return false;
        if (c.out.size() + msg.size() > kMaxQueuedBytes)
            return true;
        c.out.append(msg.constData(), msg.size()); // a copy: the caller's buffer stays its own
        ++c.sent;
        ++counters.messagesSent;
        if (s.kind == Scenario::Kind::CloseAfter && c.sent >= s.count)
            c.closing = true;
        return true;
    }

    void toGreeted(const QByteArray &msg) {
        for (Client &c : clients)
            if (c.greeted)
                enqueue(c, msg);
    }

    void greet(Client &c) {
        c.greeted = true;
        if (!sendsGenerated(cfg.scenario.kind))
            return;
        // As a controller greets: version, the program's variables (names, then values), then
        // texts. A variable array clears what a reader stored, so nothing may come before it.
        enqueue(c, stream::versionMessage(cfg));
        for (const QByteArray &msg : stream::variableArrays(cfg))
            enqueue(c, msg);
        if (!cfg.variables.isEmpty()) {
            for (const QByteArray &msg : stream::variableValues(cfg))
                enqueue(c, msg);
        }
        for (const TitledMessage &m : cfg.titledMessages)
            enqueue(c, stream::titledMessage(cfg, m, anim));
    }
};

// --- Robot ---------------------------------------------------------------------------------

Robot::Robot(Simulator *sim, const RobotConfig &cfg) : sim_(sim), d_(new State) {
    d_->cfg = cfg;
    d_->anim.startMs = steadyMs();
    const uint64_t seed = qHash(cfg.address) | 1u;
    d_->anim.noise = seed * 0x9E3779B97F4A7C15ull | 1u;
    d_->anim.phase = double(seed % 60000) / 1000.0;
    // Spread the ticks of many robots over the period.
    d_->nextTickMs = d_->anim.startMs + int64_t(seed % 100);
}

Robot::~Robot() = default;

QString Robot::address() const {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    return d_->cfg.address;
}

RobotConfig Robot::config() const {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    return d_->cfg;
}

void Robot::setConfig(const RobotConfig &cfg) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    const bool rebind =
        cfg.address != d_->cfg.address || (cfg.scenario.kind == Scenario::Kind::Refuse) !=
                                              (d_->cfg.scenario.kind == Scenario::Kind::Refuse);
    const bool namesChanged = [&] {
        if (cfg.variables.size() != d_->cfg.variables.size())
            return true;
        for (int i = 0; i < cfg.variables.size(); ++i)
            if (cfg.variables.at(i).name != d_->cfg.variables.at(i).name)
                return true;
        return false;
    }();
    if (rebind)
        sim_->closeRobot(*this);
    d_->cfg = cfg;
    if (rebind && d_->wanted && sim_->running_)
        sim_->bindRobot(*this);
    if (namesChanged && sendsGenerated(cfg.scenario.kind))
        for (const QByteArray &msg : stream::variableArrays(cfg))
            d_->toGreeted(msg);
    for (Client &c : d_->clients)
        c.nextWriteMs = 0;
    sim_->touch(*this);
    sim_->wake();
}

void Robot::setScenario(const Scenario &scenario) {
    RobotConfig c = config();
    c.scenario = scenario;
    setConfig(c);
}

void Robot::setMode(const robotstate_mode &mode) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.mode = mode;
}

void Robot::setJoints(const QList<robotstate_joint> &joints) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.joints = joints;
}

void Robot::setTool(const robotstate_tool &tool) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.tool = tool;
}

void Robot::setMasterboard(const robotstate_masterboard &board) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.masterboard = board;
}

void Robot::setForce(const robotstate_force &force) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.force = force;
}

void Robot::setVersion(const QByteArray &projectName, uint8_t major, uint8_t minor) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.projectName = projectName;
    d_->cfg.major = major;
    d_->cfg.minor = minor;
    // A controller announces its version once per connection; send it to those already here.
    if (sendsGenerated(d_->cfg.scenario.kind))
        d_->toGreeted(stream::versionMessage(d_->cfg));
    sim_->touch(*this);
    sim_->wake();
}

void Robot::setVariables(const QList<Variable> &variables) {
    RobotConfig c = config();
    c.variables = variables;
    setConfig(c);
}

void Robot::setTitledMessages(const QList<TitledMessage> &messages) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.titledMessages = messages;
    d_->titledCursor = 0;
    sim_->touch(*this);
    sim_->wake();
}

void Robot::setAnimate(bool on) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.animate = on;
}

void Robot::setRateHz(double hz) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.rateHz = hz;
    d_->nextTickMs = steadyMs();
    sim_->touch(*this);
    sim_->wake();
}

void Robot::setStampSendTime(bool on) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->cfg.stampSendTime = on;
}

void Robot::sendRaw(const QByteArray &bytes) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    for (Client &c : d_->clients)
        d_->enqueue(c, bytes);
    sim_->changed_.notify_all();
    sim_->touch(*this);
    sim_->wake();
}

void Robot::sendTitledMessage(const QByteArray &title, const QByteArray &text) {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->toGreeted(stream::titledMessage(d_->cfg, {title, text}, d_->anim));
    sim_->changed_.notify_all();
    sim_->touch(*this);
    sim_->wake();
}

void Robot::disconnectClients() {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    for (Client &c : d_->clients)
        sim_->dropSocket(c.fd, c.id);
    d_->counters.connectedClients -= int(d_->clients.size());
    d_->clients.clear();
    sim_->changed_.notify_all();
    sim_->touch(*this);
    sim_->wake();
}

bool Robot::start() {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->wanted = true;
    if (!sim_->running_)
        return true;
    const bool ok = sim_->bindRobot(*this);
    sim_->touch(*this);
    sim_->wake();
    return ok;
}

void Robot::stop() {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    d_->wanted = false;
    sim_->closeRobot(*this);
    sim_->touch(*this);
    sim_->wake();
}

bool Robot::isListening() const {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    return d_->listenFd >= 0;
}

QString Robot::lastError() const {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    return d_->lastError;
}

Counters Robot::counters() const {
    std::lock_guard<std::mutex> lock(sim_->mutex_);
    return d_->counters;
}

bool Robot::waitFor(const std::function<bool(const Counters &)> &condition, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(sim_->mutex_);
    return sim_->changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return condition(d_->counters); });
}

bool Robot::waitForConnections(int64_t accepted, int timeoutMs) const {
    return waitFor([=](const Counters &c) { return c.connectionsAccepted >= accepted; }, timeoutMs);
}

bool Robot::waitForConnectedClients(int clients, int timeoutMs) const {
    return waitFor([=](const Counters &c) { return c.connectedClients == clients; }, timeoutMs);
}

bool Robot::waitForMessages(int64_t messages, int timeoutMs) const {
    return waitFor([=](const Counters &c) { return c.messagesSent >= messages; }, timeoutMs);
}

// --- Simulator -----------------------------------------------------------------------------

Simulator::Simulator() {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (::pipe2(wakeFds_, O_NONBLOCK | O_CLOEXEC) != 0)
        wakeFds_[0] = wakeFds_[1] = -1;
    if (wakeFds_[0] >= 0)
        watch(wakeFds_[0], 0, nullptr);
}

Simulator::~Simulator() {
    stop();
    for (int fd : wakeFds_)
        if (fd >= 0)
            ::close(fd);
    if (epollFd_ >= 0)
        ::close(epollFd_);
}

Robot &Simulator::addRobot(const RobotConfig &cfg) {
    std::lock_guard<std::mutex> lock(mutex_);
    robots_.emplace_back(new Robot(this, cfg));
    Robot &r = *robots_.back();
    if (running_) {
        bindRobot(r);
        touch(r);
        wake();
    }
    return r;
}

int Simulator::robotCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return int(robots_.size());
}

Robot &Simulator::robot(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return *robots_.at(size_t(index));
}

bool Simulator::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_)
        return true;
    bool ok = true;
    timers_ = decltype(timers_)();
    for (auto &r : robots_) {
        if (r->d_->wanted && !bindRobot(*r))
            ok = false;
        r->d_->dueMs = kNever;
        touch(*r);
    }
    running_ = true;
    quit_ = false;
    thread_ = std::thread([this] { loop(); });
    return ok;
}

void Simulator::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_)
            return;
        quit_ = true;
        wake();
    }
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &r : robots_)
        closeRobot(*r);
    running_ = false;
    changed_.notify_all();
}

bool Simulator::isRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void Simulator::setEventHandler(std::function<void(const QString &)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void Simulator::wake() {
    if (wakeFds_[1] >= 0) {
        const char b = 1;
        // A full pipe already means a pending wake-up.
        [[maybe_unused]] const ssize_t n = ::write(wakeFds_[1], &b, 1);
    }
}

void Simulator::touch(Robot &r) {
    if (r.d_->touched)
        return;
    r.d_->touched = true;
    touched_.push_back(&r);
}

bool Simulator::watch(int fd, uint64_t token, Robot *owner) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = token;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    if (owner)
        owners_[token] = owner;
    return true;
}

void Simulator::dropSocket(int fd, uint64_t token) {
    // Removed by hand: a forked child holding the socket would keep it in the set.
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    owners_.erase(token);
    closeSocket(fd);
}

void Simulator::event(const QString &text) {
    if (handler_)
        events_ << text;
}

bool Simulator::bindRobot(Robot &r) {
    Robot::State &s = *r.d_;
    if (s.listenFd >= 0 || s.cfg.scenario.kind == Scenario::Kind::Refuse)
        return true;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    // Only loopback: the simulator must never be reachable from the network.
    if (::inet_pton(AF_INET, s.cfg.address.toLatin1().constData(), &addr.sin_addr) != 1 ||
        (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
        s.lastError = QStringLiteral("not a loopback address: ") + s.cfg.address;
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        s.lastError = errnoText("socket");
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        s.lastError = errnoText("bind");
        ::close(fd);
        return false;
    }
    if (::listen(fd, 128) != 0) {
        s.lastError = errnoText("listen");
        ::close(fd);
        return false;
    }
    const uint64_t token = nextToken_++;
    if (!watch(fd, token, &r)) {
        s.lastError = errnoText("epoll_ctl");
        ::close(fd);
        return false;
    }
    s.listenFd = fd;
    s.listenToken = token;
    s.lastError.clear();
    event(QStringLiteral("listening on %1:%2").arg(s.cfg.address).arg(kPort));
    return true;
}

void Simulator::closeRobot(Robot &r) {
    Robot::State &s = *r.d_;
    if (s.listenFd >= 0) {
        dropSocket(s.listenFd, s.listenToken);
        s.listenFd = -1;
        s.listenToken = 0;
        event(QStringLiteral("stopped listening on %1").arg(s.cfg.address));
    }
    for (Client &c : s.clients)
        dropSocket(c.fd, c.id);
    s.counters.connectedClients -= int(s.clients.size());
    s.clients.clear();
    changed_.notify_all();
}

void Simulator::serviceRobot(Robot &r, int64_t nowMs) {
    Robot::State &s = *r.d_;
    if (s.clients.empty()) {
        // Keep the schedule moving so that a new client does not get a burst of backlog.
        if (s.nextTickMs < nowMs)
            s.nextTickMs = nowMs;
        return;
    }
    const RobotConfig &cfg = s.cfg;
    const Scenario::Kind kind = cfg.scenario.kind;
    const int64_t countBefore = s.counters.messagesSent;

    for (Client &c : s.clients)
        if (!c.greeted && !c.closing && kind != Scenario::Kind::Silent)
            s.greet(c);

    if (cfg.rateHz > 0 && nowMs + kTickSlackMs >= s.nextTickMs) {
        const int64_t period = std::max<int64_t>(1, int64_t(1000.0 / cfg.rateHz));
        s.nextTickMs += period;
        if (s.nextTickMs <= nowMs)
            s.nextTickMs = nowMs + period;
        if (kind == Scenario::Kind::Replay)
            s.toGreeted(cfg.scenario.bytes);
        else if (kind == Scenario::Kind::Trickle) {
            for (Client &c : s.clients)
                s.enqueue(c, c.sent == 0 ? messageHeader(uint32_t(cfg.scenario.count), 16)
                                         : QByteArray(1, '\0'));
        } else if (sendsGenerated(kind))
            s.toGreeted(stream::robotState(cfg, s.anim, nowMs));
    }
    if (sendsGenerated(kind) && !cfg.variables.isEmpty() && nowMs >= s.nextVariablesMs) {
        s.nextVariablesMs = nowMs + std::max(1, cfg.variablesIntervalMs);
        stream::animateVariables(s.cfg, s.anim, nowMs);
        for (const QByteArray &msg : stream::variableValues(cfg))
            s.toGreeted(msg);
    }
    if (sendsGenerated(kind) && cfg.titledIntervalMs > 0 && !cfg.titledMessages.isEmpty() &&
        nowMs >= s.nextTitledMs) {
        if (s.nextTitledMs != 0) {
            s.titledCursor %= cfg.titledMessages.size();
            s.toGreeted(
                stream::titledMessage(cfg, cfg.titledMessages.at(s.titledCursor++), s.anim));
        }
        s.nextTitledMs = nowMs + cfg.titledIntervalMs;
    }

    const bool split = kind == Scenario::Kind::Split && cfg.scenario.pieceBytes > 0;
    for (auto it = s.clients.begin(); it != s.clients.end();) {
        Client &c = *it;
        bool failed = kind == Scenario::Kind::Flood && !c.closing && !flood(c, s.counters);
        while (!c.out.isEmpty() && (!split || nowMs >= c.nextWriteMs)) {
            const int want =
                split ? std::min(int(c.out.size()), cfg.scenario.pieceBytes) : int(c.out.size());
            const ssize_t n = ::send(c.fd, c.out.constData(), size_t(want), MSG_NOSIGNAL);
            if (n < 0) {
                failed = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
                break;
            }
            c.out.remove(0, int(n));
            s.counters.bytesSent += n;
            if (split) {
                c.nextWriteMs = nowMs + cfg.scenario.pauseMs;
                break;
            }
        }
        if (failed || (c.closing && c.out.isEmpty())) {
            dropSocket(c.fd, c.id);
            event(QStringLiteral("%1: %2 %3 after %4 messages")
                      .arg(cfg.address, c.peer,
                           failed ? QStringLiteral("lost") : QStringLiteral("closed"))
                      .arg(c.sent));
            --s.counters.connectedClients;
            it = s.clients.erase(it);
            changed_.notify_all();
        } else {
            ++it;
        }
    }
    if (s.counters.messagesSent != countBefore)
        changed_.notify_all();
}

void Simulator::schedule(Robot &r, int64_t nowMs) {
    Robot::State &s = *r.d_;
    const RobotConfig &cfg = s.cfg;
    const bool generated = sendsGenerated(cfg.scenario.kind);
    const bool split = cfg.scenario.kind == Scenario::Kind::Split;
    int64_t due = kNever;
    if (!s.clients.empty()) {
        if (cfg.rateHz > 0)
            due = std::min(due, s.nextTickMs - kTickSlackMs);
        // Only what serviceRobot acts on: a robot that sends no variables or texts keeps
        // those times where they are, and waiting for them would never end.
        if (generated && !cfg.variables.isEmpty())
            due = std::min(due, s.nextVariablesMs);
        if (generated && cfg.titledIntervalMs > 0 && !cfg.titledMessages.isEmpty())
            due = std::min(due, s.nextTitledMs);
    }
    for (Client &c : s.clients) {
        // A queue left after servicing waits for room in the socket, or for its next piece.
        bool wantOut = cfg.scenario.kind == Scenario::Kind::Flood;
        if (!c.out.isEmpty()) {
            if (split && c.nextWriteMs > nowMs)
                due = std::min(due, c.nextWriteMs);
            else
                wantOut = true;
        }
        if (wantOut != c.watchingOut) {
            epoll_event ev{};
            ev.events = EPOLLIN | (wantOut ? uint32_t(EPOLLOUT) : 0u);
            ev.data.u64 = c.id;
            if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev) == 0)
                c.watchingOut = wantOut;
        }
    }
    if (due != s.dueMs) {
        s.dueMs = due;
        if (due != kNever)
            timers_.push({due, &r});
    }
}

void Simulator::handleReady(uint64_t token, uint32_t ev) {
    if (token == 0) {
        char buf[64];
        while (::read(wakeFds_[0], buf, sizeof buf) > 0) {
        }
        return;
    }
    const auto owner = owners_.find(token);
    if (owner == owners_.end())
        return; // closed since epoll_wait returned
    Robot &r = *owner->second;
    Robot::State &s = *r.d_;
    if (token == s.listenToken) {
        for (;;) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(s.listenFd, reinterpret_cast<sockaddr *>(&peer), &len,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                break;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Client c;
            c.id = nextToken_++;
            c.fd = fd;
            if (!watch(fd, c.id, &r)) {
                ::close(fd);
                continue;
            }
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            c.peer =
                QStringLiteral("%1:%2").arg(QString::fromLatin1(text)).arg(ntohs(peer.sin_port));
            if (s.cfg.scenario.kind == Scenario::Kind::CloseAfter && s.cfg.scenario.count <= 0)
                c.closing = true;
            ++s.counters.connectionsAccepted;
            ++s.counters.connectedClients;
            event(QStringLiteral("%1: connection from %2").arg(s.cfg.address, c.peer));
            s.clients.push_back(std::move(c));
            changed_.notify_all();
        }
        touch(r); // greets
        return;
    }
    auto it = std::find_if(s.clients.begin(), s.clients.end(),
                           [&](const Client &c) { return c.id == token; });
    if (it == s.clients.end())
        return;
    bool gone = (ev & EPOLLERR) != 0;
    if (!gone && (ev & (EPOLLIN | EPOLLHUP))) {
        // Controllers ignore what clients send on this port; only notice the close.
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(it->fd, buf, sizeof buf, 0);
            if (n > 0)
                continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                gone = true;
            break;
        }
    }
    if (gone) {
        dropSocket(it->fd, it->id);
        event(QStringLiteral("%1: %2 disconnected").arg(s.cfg.address, it->peer));
        --s.counters.connectedClients;
        s.clients.erase(it);
        changed_.notify_all();
        touch(r); // its schedule may end
    } else if (ev & EPOLLOUT) {
        touch(r); // the pass writes the queue
    }
}

void Simulator::loop() {
    std::vector<epoll_event> ready(512);
    std::vector<Robot *> work;
    QList<QString> events;
    std::function<void(const QString &)> handler;

    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        // Service the robots that are due, were changed through the API or had socket events.
        const int64_t now = steadyMs();
        while (!timers_.empty() && timers_.top().dueMs <= now) {
            const Timer t = timers_.top();
            timers_.pop();
            if (t.dueMs == t.robot->d_->dueMs) {
                t.robot->d_->dueMs = kNever;
                touch(*t.robot);
            }
        }
        work.swap(touched_);
        for (Robot *r : work) {
            r->d_->touched = false;
            serviceRobot(*r, now);
            schedule(*r, now);
        }
        work.clear();
        while (!timers_.empty() && timers_.top().dueMs != timers_.top().robot->d_->dueMs)
            timers_.pop(); // superseded
        const int64_t due = timers_.empty() ? kNever : timers_.top().dueMs;
        events.swap(events_);
        handler = handler_;
        lock.unlock();

        for (const QString &e : events)
            handler(e);
        events.clear();

        const int timeout =
            due == kNever ? -1 : int(std::clamp<int64_t>(due - steadyMs(), 0, 60000));
        const int n = ::epoll_wait(epollFd_, ready.data(), int(ready.size()), timeout);
        lock.lock();
        for (int i = 0; i < n; ++i)
            handleReady(ready[size_t(i)].data.u64, ready[size_t(i)].events);
    }
}

long raiseFileLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return -1;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        ::getrlimit(RLIMIT_NOFILE, &lim);
    }
    return long(lim.rlim_cur);
}

Unreachable::Unreachable(const QList<QString> &addresses) {
    std::vector<sockaddr_in> open;
    for (const QString &address : addresses) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(kPort);
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::inet_pton(AF_INET, address.toLatin1().constData(), &in.sin_addr) != 1 ||
            (ntohl(in.sin_addr.s_addr) >> 24) != 127 ||
            ::bind(listener, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 ||
            ::listen(listener, 0) != 0) {
            failed_ << address;
            ::close(listener);
            continue;
        }
        fds_.push_back(listener);
        open.push_back(in);
    }
    // Fill each queue until a connection attempt is no longer answered. All addresses take
    // their turn together, so the wait that tells an unanswered attempt is paid once a round
    // rather than once an address.
    for (int filler = 0; filler < 8 && !open.empty(); ++filler) {
        std::vector<pollfd> waits;
        for (const sockaddr_in &in : open) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(client, reinterpret_cast<const sockaddr *>(&in), sizeof in);
            fds_.push_back(client);
            waits.push_back({client, POLLOUT, 0});
        }
        std::vector<bool> answered(open.size(), false);
        const int64_t deadline = steadyMs() + 300;
        for (size_t left = open.size(); left > 0;) {
            const int64_t wait = deadline - steadyMs();
            if (wait <= 0 || ::poll(waits.data(), nfds_t(waits.size()), int(wait)) <= 0)
                break;
            for (size_t i = 0; i < waits.size(); ++i) {
                if (waits[i].fd >= 0 && waits[i].revents) {
                    answered[i] = true;
                    waits[i].fd = -1; // poll skips it from now on
                    --left;
                }
            }
        }
        std::vector<sockaddr_in> next;
        for (size_t i = 0; i < open.size(); ++i)
            if (answered[i])
                next.push_back(open[i]);
        open.swap(next);
    }
}

Unreachable::~Unreachable() {
    for (int fd : fds_)
        ::close(fd);
}

} // namespace ursim
