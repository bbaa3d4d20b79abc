// Soak benchmark: an hour of the plug-in inside a host process, to show that memory,
// descriptors and threads stay where they were.
//
// The simulated robots live in a child process forked before anything else starts, so that
// this process's memory, descriptors and threads are the plug-in's and the host's alone: every
// socket descriptor here is one of the plug-in's robot connections. The robots, on
// 127.77.x.y:
//   streaming        10 Hz robot state carrying its send time in force_x (ms since the
//                    epoch mod 1e6), so that the host side can tell how old a value is
//   by host name     streaming, configured as *.invalid names that this executable's
//                    getaddrinfo maps to their loopback addresses
//   flapping         connections dropped every few seconds, the listener gone now and then
//   changing         a new program (variable names and values) every few seconds, from four
//   titled texts     titled text messages several times a second
//   silent           accepts, never sends
//   never answering  listeners with a full accept queue: connection attempts time out
// Three host threads read every robot about once a second; the process is sampled every
// second (memory kept every 5 s) and a report with targets is printed at the end.
//
//     bench_soak [--minutes 60]
#include "noru_standin.h"
#include "noruplugin.h"
#include "pluginhost.h"
#include "ursim.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

enum Kind { Streaming, ByName, Flapping, Changing, Titled, Silent, NeverAnswering, KindCount };

const char *const kindNames[KindCount] = {"streaming",         "by host name", "flapping",
                                          "changing programs", "titled texts", "silent",
                                          "never answering"};
const int kindCounts[KindCount] = {10, 2, 2, 2, 2, 2, 2};
const char *const hostNames[2] = {"ur-left.soak.invalid", "ur-right.soak.invalid"};

constexpr int kPrograms = 4;
const int programSizes[kPrograms] = {5, 10, 15, 20};
const char *const titles[] = {"Conveyor", "Gripper", "Pallet", "Vision", "Safety check"};

QString simAddress(Kind kind, int index) {
    return QStringLiteral("127.77.%1.%2").arg(int(kind) + 1).arg(index + 1);
}

// Variables and titles become host items keyed by their name alone, so every robot has
// names of its own (prefixed with its device id), as a host operator is told to arrange.
QByteArray ownName(int device, const QByteArray &name) {
    return "r" + QByteArray::number(device) + "_" + name;
}

QString variableName(int device, int program, int index) {
    return QStringLiteral("r%1_p%2_v%3").arg(device).arg(program).arg(index);
}

struct RobotSpec {
    Kind kind;
    int index; // within its kind
    DeviceInstancePlugin device;
    QStringList uids; // force_x first
    bool stamped;     // force_x carries the send time
};

std::vector<RobotSpec> robotSpecs() {
    std::vector<RobotSpec> specs;
    for (int k = 0; k < KindCount; ++k) {
        for (int i = 0; i < kindCounts[k]; ++i) {
            RobotSpec s{Kind(k), i, DeviceInstancePlugin{}, {}, k != Silent && k != NeverAnswering};
            DeviceInstancePlugin &d = s.device;
            d.id = int(specs.size()) + 1;
            d.address = k == ByName ? QString::fromLatin1(hostNames[i]) : simAddress(Kind(k), i);
            d.name = QStringLiteral("%1 %2").arg(QString::fromLatin1(kindNames[k])).arg(i + 1);
            d.errorWaitSeconds = 5;
            s.uids << QStringLiteral("force_x_%1").arg(d.id)
                   << QStringLiteral("base_temperature_%1").arg(d.id);
            if (k == Changing) {
                for (int p = 0; p < kPrograms; ++p)
                    s.uids << variableName(d.id, p, 0);
            } else if (k == Titled) {
                s.uids << QString::fromLatin1(ownName(d.id, titles[0]));
            } else {
                s.uids << QString::fromLatin1(ownName(d.id, "cycle_count"));
            }
            specs.push_back(s);
        }
    }
    return specs;
}

// The two robot names resolve to loopback addresses without asking anyone; no other
// .invalid name resolves. Everything else goes to the C library.
std::atomic<long> nameLookups{0};

} // namespace

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **found) {
    using Lookup = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strlen(node) > 8 &&
        std::strcmp(node + std::strlen(node) - 8, ".invalid") == 0) {
        for (int i = 0; i < 2; ++i) {
            if (std::strcmp(node, hostNames[i]) == 0) {
                nameLookups.fetch_add(1);
                const QByteArray numeric = simAddress(ByName, i).toLatin1();
                addrinfo numericHints{};
                if (hints)
                    numericHints = *hints;
                numericHints.ai_flags = (numericHints.ai_flags | AI_NUMERICHOST) & ~AI_ADDRCONFIG;
                return real(numeric.constData(), service, &numericHints, found);
            }
        }
        return EAI_NONAME;
    }
    return real(node, service, hints, found);
}

namespace {

int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t epochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Shared with the simulator process through an anonymous shared mapping: no descriptor.
struct SimShared {
    std::atomic<int> ready{0}; // 1: serving, -1: failed
    std::atomic<int> stop{0};  // set by the host process at the end
    std::atomic<long> accepted[KindCount];
    std::atomic<long> drops{0};
    std::atomic<long> outages{0};
    std::atomic<long> programChanges{0};
    std::atomic<long> titledMessages{0};
    std::atomic<long> restartFailures{0};
};

ursim::Variable programVariable(int device, int program, int index, long change) {
    const QByteArray name = variableName(device, program, index).toLatin1();
    switch (index % 5) {
    case 0:
        return {name, ursim::Value::integer(int32_t(change * 10 + index))};
    case 1:
        return {name, ursim::Value::real(float(change % 1000) / 8.0f)};
    case 2:
        return {name, ursim::Value::string("part-" + QByteArray::number(int(change % 100)))};
    case 3:
        return {name, ursim::Value::byte(uint8_t(change))};
    default:
        return {name, ursim::Value::pose(
                          {float(change % 7) / 10.0f, -0.43f, 0.35f, 0.0f, 3.1416f, 0.0f})};
    }
}

QList<ursim::Variable> program(int device, int number, long change) {
    QList<ursim::Variable> variables;
    for (int v = 0; v < programSizes[number]; ++v)
        variables << programVariable(device, number, v, change);
    return variables;
}

// The simulator process: serves every robot and plays the schedule until told to stop.
[[noreturn]] void serveRobots(SimShared *shared, pid_t host) {
    // Gone with the host process, whatever happens to it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != host)
        _exit(1);

    const std::vector<RobotSpec> specs = robotSpecs();
    ursim::Simulator sim;
    std::vector<ursim::Robot *> robots(specs.size(), nullptr);
    QList<QString> neverAnswering;
    for (size_t i = 0; i < specs.size(); ++i) {
        const RobotSpec &s = specs[i];
        if (s.kind == NeverAnswering) {
            neverAnswering << simAddress(s.kind, s.index);
            continue;
        }
        ursim::RobotConfig cfg = ursim::RobotConfig::realistic(simAddress(s.kind, s.index));
        cfg.rateHz = 10;
        cfg.stampSendTime = true;
        const int device = s.device.id;
        for (ursim::Variable &v : cfg.variables)
            v.name = ownName(device, v.name);
        for (ursim::TitledMessage &m : cfg.titledMessages)
            m.title = ownName(device, m.title);
        if (s.kind == Silent)
            cfg.scenario = ursim::Scenario::silent();
        if (s.kind == Changing)
            cfg.variables = program(device, 0, 0);
        if (s.kind == Titled) {
            cfg.titledMessages.clear();
            for (const char *title : titles)
                cfg.titledMessages
                    << ursim::TitledMessage{ownName(device, title), QByteArray(title) + " %1"};
            cfg.titledIntervalMs = 150 + 100 * s.index;
        }
        robots[i] = &sim.addRobot(cfg);
    }
    ursim::Unreachable unreachable(neverAnswering);
    if (!sim.start() || !unreachable.failed().isEmpty()) {
        for (int i = 0; i < sim.robotCount(); ++i)
            if (!sim.robot(i).lastError().isEmpty())
                std::fprintf(stderr, "simulator: %s: %s\n", qPrintable(sim.robot(i).address()),
                             qPrintable(sim.robot(i).lastError()));
        for (const QString &a : unreachable.failed())
            std::fprintf(stderr, "simulator: cannot set up a never answering robot on %s\n",
                         qPrintable(a));
        shared->ready.store(-1);
        _exit(1);
    }
    shared->ready.store(1);

    // Flapping robots drop their connections every 3 or 4 s and go away for 8 s once a
    // minute; changing robots switch programs every 4 s. Phases differ per robot.
    struct Flap {
        int64_t nextDrop;
        int64_t nextOutage;
        int64_t outageEnd; // 0: listening
    };
    const int64_t start = steadyMs();
    std::vector<Flap> flaps(specs.size());
    std::vector<int64_t> nextProgram(specs.size(), 0);
    std::vector<int> currentProgram(specs.size(), 0);
    long changes = 0;
    for (size_t i = 0; i < specs.size(); ++i) {
        const int n = specs[i].index;
        flaps[i] = {start + 3000 + 1000 * n, start + 25000 + 20000 * n, 0};
        nextProgram[i] = start + 4000 + 2000 * n;
    }
    while (!shared->stop.load() && getppid() == host) {
        const int64_t now = steadyMs();
        for (size_t i = 0; i < specs.size(); ++i) {
            const RobotSpec &s = specs[i];
            if (s.kind == Flapping) {
                Flap &f = flaps[i];
                if (f.outageEnd != 0) {
                    if (now >= f.outageEnd) {
                        if (robots[i]->start())
                            f.outageEnd = 0;
                        else
                            shared->restartFailures.fetch_add(1);
                    }
                } else if (now >= f.nextOutage) {
                    robots[i]->stop();
                    shared->outages.fetch_add(1);
                    f.outageEnd = now + 8000;
                    f.nextOutage += 60000;
                } else if (now >= f.nextDrop) {
                    robots[i]->disconnectClients();
                    shared->drops.fetch_add(1);
                    f.nextDrop = now + 3000 + 1000 * s.index;
                }
            } else if (s.kind == Changing && now >= nextProgram[i]) {
                currentProgram[i] = (currentProgram[i] + 1) % kPrograms;
                robots[i]->setVariables(program(s.device.id, currentProgram[i], ++changes));
                shared->programChanges.fetch_add(1);
                nextProgram[i] = now + 4000;
            }
        }
        long accepted[KindCount] = {};
        long titled = 0;
        for (size_t i = 0; i < specs.size(); ++i) {
            if (!robots[i])
                continue;
            const ursim::Counters c = robots[i]->counters();
            accepted[specs[i].kind] += long(c.connectionsAccepted);
            if (specs[i].kind == Titled)
                titled += long(c.messagesSent);
        }
        for (int k = 0; k < KindCount; ++k)
            shared->accepted[k].store(accepted[k]);
        shared->titledMessages.store(titled);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    sim.stop();
    _exit(0);
}

// --- The host process ---

struct Sample {
    double seconds = 0; // since init
    long rssKb = 0;
    int fds = 0;
    int sockets = 0;
    int threads = 0;
};

// Reads /proc without Qt and keeps nothing, so that sampling does not show up in what it
// measures. The directory's own descriptor is not counted.
Sample sampleProcess(double seconds) {
    Sample s;
    s.seconds = seconds;
    char buffer[4096];
    const int status = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (status >= 0) {
        const ssize_t n = ::read(status, buffer, sizeof buffer - 1);
        ::close(status);
        buffer[n > 0 ? n : 0] = 0;
        if (const char *line = std::strstr(buffer, "\nVmRSS:"))
            s.rssKb = std::strtol(line + 7, nullptr, 10);
    }
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            if (std::atoi(entry->d_name) == own)
                continue;
            ++s.fds;
            char target[64];
            const ssize_t n = ::readlinkat(own, entry->d_name, target, sizeof target - 1);
            if (n > 0 && std::strncmp(target, "socket:", 7) == 0)
                ++s.sockets;
        }
        ::closedir(dir);
    }
    if (DIR *dir = ::opendir("/proc/self/task")) {
        while (const dirent *entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++s.threads;
        ::closedir(dir);
    }
    return s;
}

void raiseMax(std::atomic<int64_t> &max, int64_t value) {
    int64_t seen = max.load();
    while (value > seen && !max.compare_exchange_weak(seen, value)) {
    }
}

// Everything the readers record is allocated before init: a fixed histogram of value ages
// (1 ms bins) and counters; only the map of failure texts can grow, by one entry per
// distinct text.
constexpr int kAgeBins = 10000;

struct ReadStats {
    std::atomic<long> good[KindCount] = {};
    std::atomic<long> failed[KindCount] = {};
    std::atomic<long> extraValues[KindCount] = {}; // good reads with the third item's value
    std::atomic<int64_t> oldest[KindCount] = {};
    std::atomic<int64_t> oldestAtMs[KindCount] = {}; // since init
    std::atomic<long> streamingAges[kAgeBins + 1];   // last bin: kAgeBins ms and older
    std::mutex failuresMutex;
    std::map<std::string, long> failures; // "kind: text"

    ReadStats() {
        for (std::atomic<long> &bin : streamingAges)
            bin.store(0);
    }
    void fail(Kind kind, const QString &text) {
        failed[kind].fetch_add(1);
        const std::string key = std::string(kindNames[kind]) + ": \"" + text.toStdString() + "\"";
        std::lock_guard<std::mutex> lock(failuresMutex);
        ++failures[key];
    }
    long streamingCount() const {
        long n = 0;
        for (const std::atomic<long> &bin : streamingAges)
            n += bin.load();
        return n;
    }
    int streamingPercentile(double p) const {
        const long n = streamingCount();
        if (n == 0)
            return 0;
        const long rank = std::max(1L, long(std::ceil(p * double(n))));
        long seen = 0;
        for (int b = 0; b <= kAgeBins; ++b) {
            seen += streamingAges[b].load();
            if (seen >= rank)
                return b;
        }
        return kAgeBins;
    }
};

// Log lines by level, and the notable ones by kind, without keeping any line. The first few
// warnings and errors of no known kind are shown as they come.
struct LogCounts {
    std::atomic<long> debug{0}, info{0}, warning{0}, error{0};
    std::atomic<long> reconnecting{0}, disconnected{0}, notConnected{0}, timeouts{0}, refused{0},
        closedByRobot{0}, waiting{0}, sharedNames{0}, titleLimit{0}, other{0};

    void count(const noru_standin::LogLine &line) {
        if (line.level == QLatin1String("debug")) {
            debug.fetch_add(1);
            return;
        }
        const bool info = line.level == QLatin1String("info");
        (info ? this->info : line.level == QLatin1String("warning") ? warning : error).fetch_add(1);
        const QString &m = line.message;
        if (m.startsWith(QLatin1String("Reconnecting robot")))
            reconnecting.fetch_add(1);
        else if (m.startsWith(QLatin1String("Disconnected from robot")))
            disconnected.fetch_add(1);
        else if (m.startsWith(QLatin1String("Robot not connected")))
            notConnected.fetch_add(1);
        else if (m.startsWith(QLatin1String("Timeout connecting")))
            timeouts.fetch_add(1);
        else if (m.startsWith(QLatin1String("Error connecting to robot")))
            refused.fetch_add(1);
        else if (m.startsWith(QLatin1String("Error reading from robot")))
            closedByRobot.fetch_add(1);
        else if (m.startsWith(QLatin1String("Error connecting/reading to robot")))
            waiting.fetch_add(1);
        else if (m.contains(QLatin1String("already turned into an item")))
            show(sharedNames.fetch_add(1) < 3, line);
        else if (m.contains(QLatin1String("new titles are not turned into items")))
            show(titleLimit.fetch_add(1) < 3, line);
        else if (!info)
            show(other.fetch_add(1) < 10, line);
    }

private:
    static void show(bool first, const noru_standin::LogLine &line) {
        if (first)
            std::fprintf(stderr, "  host log (%s): %s\n", qPrintable(line.level),
                         qPrintable(line.message));
    }
};

// Hands out robots to the reader threads: each robot about once a second, never two reads
// of one robot at a time. A slow read (a silent robot waits for data) holds up only the
// thread that does it. Start times are spread over the first second and each interval is
// 950 to 1049 ms, as a host's timer would be: reads locked to the robots' 10 Hz send phase
// would see one value age only.
class ReadSchedule {
public:
    ReadSchedule(size_t robots, int64_t start) : due_(robots), busy_(robots, false) {
        for (size_t i = 0; i < robots; ++i)
            due_[i] = start + int64_t(i * 1000 / robots);
    }

    int take(int64_t now) {
        std::lock_guard<std::mutex> lock(mutex_);
        int best = -1;
        for (size_t i = 0; i < due_.size(); ++i)
            if (!busy_[i] && due_[i] <= now && (best < 0 || due_[i] < due_[size_t(best)]))
                best = int(i);
        if (best >= 0)
            busy_[size_t(best)] = true;
        return best;
    }
    void done(int robot, int64_t now) {
        std::lock_guard<std::mutex> lock(mutex_);
        // xorshift64: a fixed sequence, no need for a better one
        noise_ ^= noise_ << 13;
        noise_ ^= noise_ >> 7;
        noise_ ^= noise_ << 17;
        int64_t &due = due_[size_t(robot)];
        due = std::max(due + 950 + int64_t(noise_ % 100), now);
        busy_[size_t(robot)] = false;
    }

private:
    std::mutex mutex_;
    std::vector<int64_t> due_;
    std::vector<bool> busy_;
    uint64_t noise_ = 0x9e3779b97f4a7c15ull;
};

void readRobot(NORUInterface *plugin, const RobotSpec &spec, ReadStats *stats, int64_t initMs) {
    const auto list = pluginhost::readList(spec.device, spec.uids);
    if (!plugin->readData(list.get())) {
        stats->fail(spec.kind, list->errorText);
        return;
    }
    const QString value = list->items.first().values.value(QStringLiteral("value"));
    if (value.isEmpty()) {
        stats->fail(spec.kind, QStringLiteral("(good, but no force_x value)"));
        return;
    }
    stats->good[spec.kind].fetch_add(1);
    for (int i = 2; i < list->items.size(); ++i) {
        if (!list->items.at(i).values.value(QStringLiteral("value")).isEmpty()) {
            stats->extraValues[spec.kind].fetch_add(1);
            break;
        }
    }
    if (!spec.stamped)
        return;
    const int64_t now = epochMs();
    const int64_t age = ((now % 1000000) - int64_t(value.toDouble()) + 1000000) % 1000000;
    if (age > stats->oldest[spec.kind].load()) {
        raiseMax(stats->oldest[spec.kind], age);
        stats->oldestAtMs[spec.kind].store(steadyMs() - initMs);
    }
    if (spec.kind == Streaming || spec.kind == ByName)
        stats->streamingAges[std::min<int64_t>(age, kAgeBins)].fetch_add(1);
}

// Least-squares slope of resident memory over time, in MiB per hour.
double slopeMiBPerHour(const std::vector<Sample> &samples, double fromSeconds) {
    double n = 0, sx = 0, sy = 0;
    for (const Sample &s : samples) {
        if (s.seconds < fromSeconds)
            continue;
        n += 1;
        sx += s.seconds / 3600.0;
        sy += double(s.rssKb) / 1024.0;
    }
    if (n < 2)
        return 0;
    const double mx = sx / n, my = sy / n;
    double sxy = 0, sxx = 0;
    for (const Sample &s : samples) {
        if (s.seconds < fromSeconds)
            continue;
        const double dx = s.seconds / 3600.0 - mx;
        sxy += dx * (double(s.rssKb) / 1024.0 - my);
        sxx += dx * dx;
    }
    return sxx > 0 ? sxy / sxx : 0;
}

const char *verdict(bool pass) {
    return pass ? "PASS" : "FAIL";
}

double mib(long kb) {
    return double(kb) / 1024.0;
}

int runHost(int argc, char **argv, double minutes, SimShared *shared, pid_t simulator) {
    QCoreApplication app(argc, argv);
    const std::vector<RobotSpec> specs = robotSpecs();
    const int robotCount = int(specs.size());

    // Wait for the simulator before anything of the plug-in starts.
    const int64_t waitStart = steadyMs();
    while (shared->ready.load() == 0 && steadyMs() - waitStart < 30000) {
        if (::waitpid(simulator, nullptr, WNOHANG) == simulator)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (shared->ready.load() != 1) {
        std::fprintf(stderr, "bench_soak: the simulated robots did not start\n");
        return 1;
    }

    QTemporaryDir dataDirectory;
    noru_standin::Host &host = noru_standin::Host::instance();
    host.setDataDirectory(dataDirectory.path());
    QPluginLoader loader;
    QString loadError;
    NORUInterface *plugin = pluginhost::load(&loader, QStringLiteral(UR_PLUGIN_PATH), &loadError);
    if (!plugin) {
        std::fprintf(stderr, "bench_soak: cannot load the plug-in: %s\n", qPrintable(loadError));
        return 1;
    }
    QList<DeviceInstancePlugin> devices;
    for (const RobotSpec &s : specs)
        devices << s.device;
    host.setDevices(devices);
    host.setRecording(false);
    auto logCounts = std::make_unique<LogCounts>();
    host.setLogListener(
        [counts = logCounts.get()](const noru_standin::LogLine &line) { counts->count(line); });

    const double runSeconds = minutes * 60.0;
    const double warmupSeconds = std::min(600.0, runSeconds / 6.0);
    auto stats = std::make_unique<ReadStats>();
    std::vector<Sample> series;
    series.reserve(size_t(runSeconds / 5.0) + 16);
    std::atomic<bool> stopReading{false};

    const Sample beforeInit = sampleProcess(0);
    std::fprintf(stderr,
                 "bench_soak: %d robots, %.1f min (warm-up %.1f min); before init: %.1f MiB, "
                 "%d descriptors, %d threads\n",
                 robotCount, minutes, warmupSeconds / 60.0, mib(beforeInit.rssKb), beforeInit.fds,
                 beforeInit.threads);

    const int64_t initMs = steadyMs();
    ReadSchedule schedule(specs.size(), initMs);
    if (!plugin->init()) {
        std::fprintf(stderr, "bench_soak: init failed\n");
        plugin->stopPlugin();
        host.setLogListener(nullptr);
        return 1;
    }
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stopReading.load()) {
                const int robot = schedule.take(steadyMs());
                if (robot < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                readRobot(plugin, specs[size_t(robot)], stats.get(), initMs);
                schedule.done(robot, steadyMs());
            }
        });
    }

    Sample peak = beforeInit;
    Sample afterWarmup;
    bool warmedUp = false;
    Sample last = beforeInit;
    for (int tick = 1;; ++tick) {
        const int64_t due = initMs + int64_t(tick) * 1000;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::max<int64_t>(0, due - steadyMs())));
        const double seconds = double(steadyMs() - initMs) / 1000.0;
        last = sampleProcess(seconds);
        peak.rssKb = std::max(peak.rssKb, last.rssKb);
        peak.fds = std::max(peak.fds, last.fds);
        peak.sockets = std::max(peak.sockets, last.sockets);
        peak.threads = std::max(peak.threads, last.threads);
        if (tick % 5 == 0)
            series.push_back(last);
        if (!warmedUp && seconds >= warmupSeconds) {
            afterWarmup = last;
            warmedUp = true;
        }
        if (tick % 60 == 0) {
            long good = 0, failed = 0;
            for (int k = 0; k < KindCount; ++k) {
                good += stats->good[k].load();
                failed += stats->failed[k].load();
            }
            std::fprintf(stderr,
                         "  [%3d min] %.2f MiB, %d descriptors (%d sockets), %d threads, "
                         "%ld good / %ld failed reads\n",
                         tick / 60, mib(last.rssKb), last.fds, last.sockets, last.threads, good,
                         failed);
        }
        if (seconds >= runSeconds)
            break;
    }
    const Sample atEnd = last;
    const double runMs = double(steadyMs() - initMs);

    stopReading.store(true);
    for (std::thread &reader : readers)
        reader.join();
    const int64_t stopStart = steadyMs();
    plugin->stopPlugin();
    const int64_t stopTookMs = steadyMs() - stopStart;
    const Sample rightAfterStop = sampleProcess(0);
    Sample afterStop = rightAfterStop;
    // Threads that have been told to end may take a moment to be gone; give them a second.
    for (int settle = 0;
         settle < 10 && (afterStop.fds > beforeInit.fds || afterStop.threads > beforeInit.threads);
         ++settle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        afterStop = sampleProcess(0);
    }

    shared->stop.store(1);
    ::waitpid(simulator, nullptr, 0);

    // --- Report ---
    const double afterWarmupHours = (runSeconds - warmupSeconds) / 3600.0;
    const double slope = slopeMiBPerHour(series, warmupSeconds);
    const double growth = slope * afterWarmupHours;
    long good = 0, failed = 0;
    for (int k = 0; k < KindCount; ++k) {
        good += stats->good[k].load();
        failed += stats->failed[k].load();
    }
    int64_t oldest = 0;
    int oldestKind = Streaming;
    for (int k = 0; k < KindCount; ++k) {
        if (stats->oldest[k].load() > oldest) {
            oldest = stats->oldest[k].load();
            oldestKind = k;
        }
    }
    const bool memoryOk = growth < 1.0;
    const bool ageOk = oldest <= 3000;
    const bool socketsOk = peak.sockets <= robotCount;
    const bool fdsOk = afterStop.fds <= beforeInit.fds;
    const bool threadsOk = afterStop.threads <= beforeInit.threads;

    std::printf("Soak: %d robots (", robotCount);
    for (int k = 0; k < KindCount; ++k)
        std::printf("%s%d %s", k ? ", " : "", kindCounts[k], kindNames[k]);
    std::printf("), 3 host threads, %.1f min, warm-up %.1f min, samples every 5 s\n\n",
                runMs / 60000.0, warmupSeconds / 60.0);
    std::printf("| measure | value | target | result |\n|---|---|---|---|\n");
    std::printf("| resident memory: before init / after warm-up / at the end | %.2f / %.2f / "
                "%.2f MiB | | |\n",
                mib(beforeInit.rssKb), mib(afterWarmup.rssKb), mib(atEnd.rssKb));
    std::printf("| memory growth after warm-up (least squares, %d samples) | %+.3f MiB/hour, "
                "%+.3f MiB over %.1f min | under 1 MiB over the run | %s |\n",
                int(std::count_if(series.begin(), series.end(),
                                  [&](const Sample &s) { return s.seconds >= warmupSeconds; })),
                slope, growth, afterWarmupHours * 60.0, verdict(memoryOk));
    std::printf("| descriptors: before init / max / after stopPlugin | %d / %d / %d | back to "
                "before init | %s |\n",
                beforeInit.fds, peak.fds, afterStop.fds, verdict(fdsOk));
    std::printf("| threads: before init / max / after stopPlugin | %d / %d / %d | back to "
                "before init | %s |\n",
                beforeInit.threads, peak.threads, afterStop.threads, verdict(threadsOk));
    std::printf("| socket descriptors: max / robots | %d / %d | never more than robots | %s |\n",
                peak.sockets, robotCount, verdict(socketsOk));
    std::printf("| reads: good / failed | %ld / %ld | | |\n", good, failed);
    std::printf("| value age, streaming robots: median / p99 (%ld values) | %d / %d ms | | |\n",
                stats->streamingCount(), stats->streamingPercentile(0.5),
                stats->streamingPercentile(0.99));
    std::printf("| oldest value reported good | %lld ms (%s, %.0f s after init) | at most "
                "3000 ms | %s |\n",
                static_cast<long long>(oldest), kindNames[oldestKind],
                double(stats->oldestAtMs[oldestKind].load()) / 1000.0, verdict(ageOk));

    std::printf("\nReads by robot kind (good with the third item's value; oldest good value):\n");
    for (int k = 0; k < KindCount; ++k)
        std::printf("  %-18s %6ld good (%ld with it), %6ld failed; oldest %lld ms\n", kindNames[k],
                    stats->good[k].load(), stats->extraValues[k].load(), stats->failed[k].load(),
                    static_cast<long long>(stats->oldest[k].load()));
    std::printf("Failed reads by error text:\n");
    for (const auto &entry : stats->failures)
        std::printf("  %6ld  %s\n", entry.second, entry.first.c_str());
    std::printf("After stopPlugin (took %lld ms): right away %d descriptors, %d threads; "
                "%.2f MiB\n",
                static_cast<long long>(stopTookMs), rightAfterStop.fds, rightAfterStop.threads,
                mib(afterStop.rssKb));
    std::printf(
        "Host log: %ld debug, %ld info, %ld warning, %ld error lines; %ld \"Reconnecting\","
        " %ld \"Disconnected\", %ld \"Robot not connected\", %ld time-outs, %ld refused, "
        "%ld closed by the robot, %ld waiting, %ld shared names, %ld title limit, %ld "
        "other warnings or errors\n",
        logCounts->debug.load(), logCounts->info.load(), logCounts->warning.load(),
        logCounts->error.load(), logCounts->reconnecting.load(), logCounts->disconnected.load(),
        logCounts->notConnected.load(), logCounts->timeouts.load(), logCounts->refused.load(),
        logCounts->closedByRobot.load(), logCounts->waiting.load(), logCounts->sharedNames.load(),
        logCounts->titleLimit.load(), logCounts->other.load());
    std::printf("Simulator: connections accepted");
    for (int k = 0; k < KindCount; ++k)
        if (k != NeverAnswering)
            std::printf("%s %s %ld", k ? "," : "", kindNames[k], shared->accepted[k].load());
    std::printf("; %ld drops, %ld outages (%ld failed restarts), %ld program changes, %ld "
                "messages from titled robots; %ld name lookups\n",
                shared->drops.load(), shared->outages.load(), shared->restartFailures.load(),
                shared->programChanges.load(), shared->titledMessages.load(), nameLookups.load());
    host.setLogListener(nullptr);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    double minutes = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
            minutes = std::strtod(argv[++i], nullptr);
        } else {
            std::fprintf(stderr, "usage: bench_soak [--minutes 60]\n");
            return 2;
        }
    }
    if (!(minutes > 0)) {
        std::fprintf(stderr, "bench_soak: --minutes must be positive\n");
        return 2;
    }

    // The robots' process, forked while this one is still a single thread with nothing open.
    void *mapping = ::mmap(nullptr, sizeof(SimShared), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        std::perror("bench_soak: mmap");
        return 1;
    }
    auto *shared = new (mapping) SimShared;
    for (std::atomic<long> &a : shared->accepted)
        a.store(0);
    const pid_t host = ::getpid();
    const pid_t simulator = ::fork();
    if (simulator < 0) {
        std::perror("bench_soak: fork");
        return 1;
    }
    if (simulator == 0)
        serveRobots(shared, host);

    const int rc = runHost(argc, argv, minutes, shared, simulator);
    if (shared->stop.load() == 0) { // an early return: the robots go too
        shared->stop.store(1);
        ::waitpid(simulator, nullptr, 0);
    }
    return rc;
}
