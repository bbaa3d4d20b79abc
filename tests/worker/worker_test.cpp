#include "simulated_robots.h"
#include "urencoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <thread>

namespace lookups {
std::mutex mutex;
std::condition_variable changed;
bool released = false;       // ends the lookups of *.hung.invalid
std::atomic<int> hung{0};    // such lookups in flight
bool nameServerDown = false; // *.alias.invalid names stop resolving
std::map<QByteArray, int> asked;
const std::map<QByteArray, const char *> aliases = {{"live.alias.invalid", "127.4.40.1"}};
} // namespace lookups

// Name lookups as this test wants them, without sending anything: this executable exports its
// getaddrinfo, so the plug-in binds to it instead of the C library's. *.slow.invalid take 3 s
// and fail, as with a name server that does not answer; *.hung.invalid hang until released;
// *.alias.invalid resolve to loopback addresses while the "name server" is up.
extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **found) {
    using Lookup = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    const QByteArray name(node ? node : "");
    if (name.endsWith(".slow.invalid")) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        return EAI_NONAME;
    }
    std::unique_lock<std::mutex> lock(lookups::mutex);
    if (name.endsWith(".hung.invalid")) {
        ++lookups::hung;
        lookups::changed.wait_for(lock, std::chrono::seconds(60), [] { return lookups::released; });
        --lookups::hung;
        return EAI_AGAIN;
    }
    if (name.endsWith(".alias.invalid")) {
        ++lookups::asked[name];
        const auto alias = lookups::aliases.find(name);
        if (lookups::nameServerDown || alias == lookups::aliases.end())
            return EAI_AGAIN;
        lock.unlock();
        return real(alias->second, service, hints, found); // numeric: no query
    }
    lock.unlock();
    return real(node, service, hints, found);
}

// The worker's waits fail, as under memory pressure, while this is set; the next one stalls
// for stallWorkerMs when that is set; every wait's time-out is kept in longestWorkerWaitMs.
std::atomic<bool> failWorkerWaits{false};
std::atomic<int> stallWorkerMs{0};
std::atomic<int> longestWorkerWaitMs{0};

extern "C" int epoll_wait(int epfd, epoll_event *events, int maxevents, int timeout) {
    using Wait = int (*)(int, epoll_event *, int, int);
    static const auto real = reinterpret_cast<Wait>(dlsym(RTLD_NEXT, "epoll_wait"));
    char thread[16] = {};
    if (pthread_getname_np(pthread_self(), thread, sizeof thread) == 0 &&
        std::strcmp(thread, "ur-worker") == 0) {
        if (timeout < 0 || timeout > longestWorkerWaitMs.load())
            longestWorkerWaitMs = timeout < 0 ? INT32_MAX : timeout;
        if (failWorkerWaits.load()) {
            errno = ENOMEM;
            return -1;
        }
        if (const int stall = stallWorkerMs.exchange(0))
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));
    }
    return real(epfd, events, maxevents, timeout);
}

using ur_test::makeDevice;
using ur_test::waitFor;

namespace {

int openDescriptors() {
    return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot).size();
}

int threads() {
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

class WorkerEndToEnd : public ur_test::SimulatedRobotsTest {
protected:
    static bool logged(const QString &level, const QString &message) {
        for (const noru_standin::LogLine &line : host().logs()) {
            if (line.level == level && line.message == message)
                return true;
        }
        return false;
    }
};

TEST_F(WorkerEndToEnd, StartsOneWorkerAndStopsIt) {
    // A stop without a worker, or a second one, returns at once.
    EXPECT_TRUE(plugin()->stopPlugin());
    EXPECT_TRUE(plugin()->stopPlugin());
    EXPECT_EQ(host().countLogsContaining("Worker loop stopped"), 0);

    ASSERT_TRUE(initPlugin());
    EXPECT_TRUE(logged("debug", "UR thread and worker class is started"));

    ASSERT_TRUE(plugin()->init());
    EXPECT_TRUE(logged("debug", "UR thread and worker class is already running"));
    EXPECT_EQ(host().countLogsContaining("UR thread and worker class is started"), 1);

    ASSERT_TRUE(plugin()->stopPlugin());
    EXPECT_TRUE(logged("info", "Worker loop stopped. Closing connections"));
    EXPECT_TRUE(logged("debug", "Closing socket connections"));

    // A fresh worker on the same thread object.
    host().clearRecords();
    ASSERT_TRUE(plugin()->init());
    EXPECT_TRUE(logged("debug", "UR thread and worker class is started"));
}

TEST_F(WorkerEndToEnd, RegistersDefaultItemsForDevicesWithFewerThanTenItems) {
    serve("127.4.4.1");
    serve("127.4.4.2");
    // init adds the three identity items first, so the worker sees nine and ten items.
    DeviceInstancePlugin nine = makeDevice(3, "127.4.4.1", "Nine", 1, {}, 5);
    ItemInstancePlugin present{};
    present.uid = "base_current_3";
    present.deviceId = 3;
    nine.items << present;
    host().setDevices({nine, makeDevice(4, "127.4.4.2", "Ten", 1, {}, 7)});
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(host().waitForLogContaining("Connected to robot @ 127.4.4.2", 20000));

    ASSERT_TRUE(waitFor([] { return host().findItem("force_rz_3", nullptr); }));
    // The names and units a host operator sees, spot-checked; every uid is read back by the
    // read-cycle tests.
    QStringList added;
    for (const ItemInstancePlugin &item : host().addedItems()) {
        if (item.uid.startsWith(QLatin1String("identity_")))
            continue;
        EXPECT_EQ(item.deviceId, 3) << item.uid.toStdString();
        EXPECT_EQ(item.hostInt4, 1);
        added << item.uid + "|" + item.name + "|" + item.unit;
    }
    // The device had one of them already, from a set-up cut short: it is not offered again.
    EXPECT_EQ(added.size(), 38);
    EXPECT_FALSE(added.contains("base_current_3|Base motor current|A"));
    EXPECT_EQ(added.first(), "emergency_stopped_3|Emergency stopped|");
    EXPECT_TRUE(added.contains("base_temperature_3|Base motor temperature|C\u00b0"));
    EXPECT_TRUE(added.contains("analog_output_1_3|Analog output_1|"));
    EXPECT_TRUE(added.contains("master_voltage_48v_3|Main voltage|V"));
    EXPECT_EQ(added.last(), "force_rz_3|Force Rz|");
    // One host call at a time.
    for (const noru_standin::HostCall &call : host().calls())
        EXPECT_FALSE(call.overlapped) << call.operation.toStdString();
}

TEST_F(WorkerEndToEnd, RefusedRobotWaitsItsErrorTimeBeforeTheNextAttempt) {
    // Nothing listens on these addresses, so every connection is refused.
    const QString fallback = QStringLiteral("127.4.6.1");
    const QString configured = QStringLiteral("127.4.6.2");
    host().setDevices(
        {makeDevice(6, fallback, "Default wait", 0), makeDevice(7, configured, "Two seconds", 2)});
    ASSERT_TRUE(initPlugin());

    const QString waitLine = "Error connecting/reading to robot " + fallback +
                             " Waiting another 5 seconds before trying again";
    ASSERT_TRUE(host().waitForLogContaining(waitLine, 20000));
    QElapsedTimer sinceWait;
    sinceWait.start();
    ASSERT_TRUE(host().waitForLogContaining("Error connecting/reading to robot " + configured +
                                                " Waiting another 2 seconds before trying again",
                                            20000));
    // Waits are spans of time: a time server steps the clock back an hour ...
    ur_test::stepTimeOfDay(-3600);
    EXPECT_TRUE(
        logged("error", "Error connecting to robot: " + fallback + " Error: Connection refused"));
    EXPECT_FALSE(host().countLogsContaining("Connected to robot @ " + fallback));
    ASSERT_TRUE(host().waitForLogContaining("Reconnecting robot " + configured, 30000));
    // ... and an operator two hours forward, while the other robot still waits.
    ur_test::stepTimeOfDay(7200);

    ASSERT_TRUE(host().waitForLogContaining("Reconnecting robot " + fallback, 30000));
    EXPECT_GE(sinceWait.elapsed(), 4000);
    // A failed reconnection imposes no further wait: it is tried on every pass.
    EXPECT_TRUE(
        waitFor([&] { return host().countLogsContaining("Reconnecting robot " + fallback) >= 3; }));
    EXPECT_EQ(host().countLogsContaining("Waiting another 5 seconds"), 1);
}

TEST_F(WorkerEndToEnd, SilentRobotGoesThroughTheReadFailureSequence) {
    const QString address = QStringLiteral("127.4.7.1");
    serve(address, ursim::Scenario::silent());
    host().setDevices({makeDevice(8, address, "Quiet", 1)});
    ASSERT_TRUE(initPlugin());

    const QString waitLine = "Error connecting/reading to robot " + address +
                             " Waiting another 1 seconds before trying again";
    ASSERT_TRUE(waitFor([&] { return host().countLogsContaining(waitLine) >= 2; }, 60000));

    QStringList steps;
    for (const noru_standin::LogLine &logLine : host().logs()) {
        const QString &line = logLine.message;
        if (line.startsWith("Disconnected from robot Quiet IP: "))
            steps << "D";
        else if (line.startsWith("Reconnecting robot "))
            steps << "R";
        else if (line.startsWith("Connection opened to robot "))
            steps << "O";
        else if (line == waitLine)
            steps << "W";
    }
    // The wait comes at the third failed read, then at every second one.
    const QStringList expected = {"D", "R", "O", "D", "R", "O", "D", "W",
                                  "R", "O", "D", "R", "O", "D", "W"};
    EXPECT_EQ(steps.mid(0, expected.size()), expected);
    // A read that times out closes quietly: no read error line.
    EXPECT_EQ(host().countLogsContaining("Error reading from robot " + address), 0);
}

// Live robots that stamp every state with its send time, read for a while: the oldest value
// that a successful read cycle returned, in milliseconds.
class FreshValues : public WorkerEndToEnd {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsSet("UR_UNDER_MEMCHECK"))
            GTEST_SKIP() << "ages mean nothing at memcheck's speed";
        WorkerEndToEnd::SetUp();
    }

    void serveLive(const QString &address) {
        ursim::RobotConfig config;
        config.address = address;
        config.rateHz = 10;
        config.stampSendTime = true;
        ASSERT_TRUE(sim.addRobot(config).isListening());
    }

    // One read cycle: true with the age of its value, or false with the error text.
    bool readAge(const DeviceInstancePlugin &device, int64_t *age, QString *error = nullptr) {
        auto list = ur_test::readList(device, {QStringLiteral("force_x_%1").arg(device.id)});
        if (!plugin()->readData(list.get())) {
            if (error)
                *error = list->errorText;
            return false;
        }
        const int64_t now = QDateTime::currentMSecsSinceEpoch() % 1000000;
        *age = (now - int64_t(list->items.first().values.value("value").toDouble()) + 1000000) %
               1000000;
        return true;
    }

    int64_t oldestValueMs(const QList<DeviceInstancePlugin> &live, int forMs) {
        int64_t age = 0;
        for (const DeviceInstancePlugin &device : live)
            EXPECT_TRUE(waitFor([&] { return readAge(device, &age); }, 30000));
        int64_t oldest = 0;
        QElapsedTimer sampling;
        sampling.start();
        while (sampling.elapsed() < forMs) {
            for (const DeviceInstancePlugin &device : live) {
                EXPECT_TRUE(readAge(device, &age)) << device.address.toStdString();
                oldest = std::max(oldest, age);
            }
            QThread::msleep(100);
        }
        return oldest;
    }
};

TEST_F(FreshValues, RobotThatGoesAwayIsReportedSoonAndDeliversWhenBack) {
    const QString address = QStringLiteral("127.4.30.1");
    serveLive(address);
    ursim::Robot &robot = sim.robot(0);
    host().setDevices({makeDevice(30, address, "Robot", 1)});
    ASSERT_TRUE(initPlugin());
    auto reads = [&](QString *text) {
        auto list = ur_test::readList(host().devices().first(), {"force_x_30"});
        const bool ok = plugin()->readData(list.get());
        *text = ok ? list->items.first().values.value("value") : list->errorText;
        return ok;
    };
    auto becomes = [&](const ursim::Scenario &scenario) {
        return [&robot, scenario] { robot.setScenario(scenario); };
    };
    // Bytes keep coming but do not frame; or they frame, but carry no robot state.
    const QByteArray nonsense("\x7f\xff\xff\xff nonsense", 14);
    const QByteArray noState = urenc::versionMessage("URControl", 5, 12);
    const std::vector<std::pair<std::function<void()>, std::function<void()>>> ways = {
        {[&] { robot.stop(); }, [&] { ASSERT_TRUE(robot.start()); }}, // switched off
        {becomes(ursim::Scenario::silent()), becomes(ursim::Scenario::normal())},
        {becomes(ursim::Scenario::replay(nonsense)), becomes(ursim::Scenario::normal())},
        {becomes(ursim::Scenario::replay(noState)), becomes(ursim::Scenario::normal())},
    };
    for (size_t way = 0; way < ways.size(); ++way) {
        SCOPED_TRACE(way);
        QString text;
        ASSERT_TRUE(waitFor([&] { return reads(&text); }, 30000)) << text.toStdString();
        ways[way].first();
        QElapsedTimer gone;
        gone.start();
        ASSERT_TRUE(waitFor([&] { return !reads(&text); }, 30000));
        EXPECT_EQ(text, "Could not connect to robot");
        // A close reads as end of stream, whose error text is the C library's "Success".
        // The worker's lines reach the host through its queue, soon after the record.
        EXPECT_TRUE(way != 0 ||
                    host().waitForLogContaining("Error reading from robot " + address +
                                                    " - Success Read bytes: 0 FD: ",
                                                5000));
        // Not one good read while it stays away.
        while (gone.elapsed() < 5000) {
            EXPECT_FALSE(reads(&text)) << "stale value " << text.toStdString();
            QThread::msleep(50);
        }
        ways[way].second();
    }
    EXPECT_TRUE(logged("error", "Robot not connected " + address));
    QString text;
    EXPECT_TRUE(waitFor([&] { return reads(&text); }, 30000)) << text.toStdString();
}

TEST_F(FreshValues, UnreachableAndSilentRobotsDoNotAgeLiveValues) {
    QList<DeviceInstancePlugin> devices, live;
    for (int i = 1; i <= 2; ++i) {
        serveLive(QStringLiteral("127.4.31.%1").arg(i));
        live << makeDevice(30 + i, QStringLiteral("127.4.31.%1").arg(i), "Live", 1);
    }
    ursim::Unreachable unreachable({"127.4.32.1", "127.4.32.2", "127.4.32.3"});
    ASSERT_TRUE(unreachable.failed().isEmpty());
    devices << live;
    for (int i = 1; i <= 3; ++i)
        devices << makeDevice(40 + i, QStringLiteral("127.4.32.%1").arg(i), "Off", 1);
    for (int i = 1; i <= 2; ++i) {
        serve(QStringLiteral("127.4.33.%1").arg(i), ursim::Scenario::silent());
        devices << makeDevice(50 + i, QStringLiteral("127.4.33.%1").arg(i), "Quiet", 1);
    }
    host().setDevices(devices);
    ASSERT_TRUE(initPlugin());
    EXPECT_LT(oldestValueMs(live, 6000), 1500);
    EXPECT_TRUE(host().waitForLogContaining("Timeout connecting to robot: 127.4.32.1", 20000));
    EXPECT_TRUE(host().waitForLogContaining("Disconnected from robot Quiet IP: 127.4.33.1", 20000));
}

TEST_F(FreshValues, NamesThatDoNotResolveDoNotDelayALiveRobot) {
    serveLive("127.4.34.1");
    const DeviceInstancePlugin live = makeDevice(60, "127.4.34.1", "Live", 1);
    // A label longer than 63 characters cannot be put into a name query, so the resolver
    // refuses it at once without sending anything over the network.
    const QString refused = QString(70, QLatin1Char('x')) + ".invalid";
    host().setDevices({live, makeDevice(61, "robot.slow.invalid", "Slow", 1),
                       makeDevice(62, refused, "Refused", 1)});
    ASSERT_TRUE(initPlugin());
    EXPECT_LT(oldestValueMs({live}, 7000), 1500);
    EXPECT_TRUE(host().waitForLogContaining("Eror resolving host: robot.slow.invalid", 20000));
    EXPECT_TRUE(host().waitForLogContaining("Eror resolving host: " + refused, 20000));
}

TEST_F(FreshValues, AStalledWorkerHasNoCurrentValuesToReport) {
    serveLive("127.4.35.1");
    const DeviceInstancePlugin live = makeDevice(35, "127.4.35.1", "Live", 1);
    host().setDevices({live});
    ASSERT_TRUE(initPlugin());
    EXPECT_LT(oldestValueMs({live}, 500), 1500);

    // The worker stalls for 8 s, and the readers must not take its last values for current.
    stallWorkerMs = 8000;
    int64_t oldestGood = 0, age = 0;
    QString error;
    QStringList errors;
    QElapsedTimer stalled;
    stalled.start();
    while (stalled.elapsed() < 8500) {
        if (readAge(live, &age, &error))
            oldestGood = std::max(oldestGood, age);
        else
            errors << error;
        QThread::msleep(100);
    }
    EXPECT_LT(oldestGood, 4000) << "an old value was reported as good";
    EXPECT_TRUE(errors.contains("Could not connect to robot"));
    EXPECT_LT(oldestValueMs({live}, 500), 1500);
}

TEST_F(FreshValues, ASlowHostHoldsNoRobotNoReaderAndNoStop) {
    // The host's database takes 0.3 s to store an item. One robot is read live while the
    // other announces 60 program variables, beside the 78 default items of both.
    const int itemMs = 300;
    serveLive("127.9.10.1");
    ursim::RobotConfig names = robotAt("127.9.10.2");
    for (int i = 0; i < 60; ++i)
        names.variables << ursim::Variable{"v" + QByteArray::number(i), ursim::Value::integer(i)};
    ursim::Robot &announcing = serve(names);
    const DeviceInstancePlugin live = makeDevice(101, "127.9.10.1", "Live", 1);
    host().setDevices({live, makeDevice(102, "127.9.10.2", "Names", 1)});
    host().setItemDelay(itemMs);
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(announcing.waitForConnections(1, 20000));

    // Values stay fresh, and no read waits for more than one stored item. The first read may
    // wait for the worker's first publication.
    int64_t age = 0, oldest = 0, slowestReadMs = 0;
    ASSERT_TRUE(waitFor([&] { return readAge(live, &age); }, 30000));
    QElapsedTimer sampling, reading;
    sampling.start();
    while (sampling.elapsed() < 5000) {
        reading.start();
        EXPECT_TRUE(readAge(live, &age));
        slowestReadMs = std::max<int64_t>(slowestReadMs, reading.elapsed());
        oldest = std::max(oldest, age);
        QThread::msleep(100);
    }
    EXPECT_LT(oldest, 1500);
    EXPECT_LT(slowestReadMs, 10 * itemMs) << "a reader waited for the host's batch of items";
    EXPECT_FALSE(host().findItem("v59", nullptr)) << "the host was not slow after all";

    // The stop does not wait for the items still waiting, only for the one being stored.
    QElapsedTimer stopping;
    stopping.start();
    ASSERT_TRUE(plugin()->stopPlugin());
    EXPECT_LT(stopping.elapsed(), 5000) << "the stop made the waiting offers";
    EXPECT_TRUE(host().countLogsContaining("Stopped before the host took "));
}

TEST_F(WorkerEndToEnd, AFailedWaitIsRetriedAndNobodysFailedRead) {
    serve("127.4.41.1");
    const DeviceInstancePlugin live = makeDevice(41, "127.4.41.1", "Live", 1);
    host().setDevices({live});
    ASSERT_TRUE(initPlugin());
    auto reads = [&] {
        auto list = ur_test::readList(live, {"force_x_41"});
        return plugin()->readData(list.get());
    };
    ASSERT_TRUE(waitFor(reads, 30000));
    failWorkerWaits = true;
    EXPECT_TRUE(host().waitForLogContaining("Waiting for robot data failed", 20000));
    QThread::msleep(1200); // longer than a read may go without data
    failWorkerWaits = false;
    EXPECT_TRUE(waitFor(reads, 30000));
    EXPECT_EQ(host().countLogsContaining("Waiting for robot data failed"), 1);
    EXPECT_EQ(host().countLogsContaining("Disconnected from robot"), 0);
}

// A host call that throws costs that step, never the worker: told once, tried again.
TEST_F(WorkerEndToEnd, AFailingHostCallCostsThatStepOnly) {
    serve("127.26.2.1");
    const DeviceInstancePlugin robot = makeDevice(26, "127.26.2.1", "Robot", 1);
    host().setDevices({robot});
    // init's device list, then the worker's first two.
    host().failCalls("getPluginDevices", 3, "database is locked");
    host().failCalls("addPluginItem", 1, "database is locked");
    ASSERT_TRUE(initPlugin());
    EXPECT_TRUE(waitFor([&] {
        auto list = ur_test::readList(robot, {"force_x_26"});
        return plugin()->readData(list.get());
    }));
    EXPECT_TRUE(waitFor([] { return host().findItem("emergency_stopped_26", nullptr); }));
    for (const char *told :
         {"The host failed a call of the plug-in's start, which went on without it: "
          "getPluginDevices: database is locked",
          "Could not get the devices from the host: database is locked. Trying again",
          "The host failed to store item emergency_stopped_26: database is locked. It is offered "
          "again"})
        EXPECT_EQ(host().countLogsContaining(told), 1) << told;
    EXPECT_EQ(host().countLogsContaining("Worker loop failed"), 0);
}

TEST_F(WorkerEndToEnd, WithoutAnyRobotEveryCallKeepsItsBound) {
    // The first state of every installation: no robot configured yet.
    host().setDevices({});
    QElapsedTimer call;
    call.start();
    ASSERT_TRUE(initPlugin());
    EXPECT_LT(call.elapsed(), 5000);
    ASSERT_TRUE(host().waitForLogContaining("UR thread and worker class is started", 20000));
    auto list = ur_test::readList(makeDevice(90, "127.9.11.1", "Unknown", 1), {"force_x_90"});
    call.start();
    EXPECT_FALSE(plugin()->readData(list.get()));
    EXPECT_EQ(list->errorText, "Could not connect to robot");
    EXPECT_LT(call.elapsed(), 40000); // the give-up of a device the worker does not know

    // A stop seen within the worker's slice, never an endless wait: run it where the test
    // can give up on it.
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    call.start();
    std::thread([this, stopped] {
        plugin()->stopPlugin();
        *stopped = true;
    }).detach();
    if (!waitFor([&] { return stopped->load(); }, 10000)) {
        ADD_FAILURE() << "stopPlugin did not return without robots; longest worker wait "
                      << longestWorkerWaitMs.load() << " ms";
        std::fflush(nullptr);
        std::_Exit(1); // the worker never ends: nothing left to clean up
    }
    EXPECT_LT(call.elapsed(), 5000);
    EXPECT_LE(longestWorkerWaitMs.load(), 1000);
}

TEST_F(WorkerEndToEnd, CarelessAddressesAreToldOnceAndPaced) {
    ursim::RobotConfig program = robotAt("127.9.12.2");
    program.variables << ursim::Variable{"counter", ursim::Value::integer(7)};
    serve(program);
    serve("127.9.12.1");
    host().setDevices({makeDevice(91, "", "Empty", 1), makeDevice(92, " 127.9.12.1 ", "Pasted", 1),
                       makeDevice(93, "::1", "Six", 1), makeDevice(94, "127.9.12.2", "First", 1),
                       makeDevice(95, "127.9.12.2", "Second", 1)});
    QElapsedTimer running;
    running.start();
    ASSERT_TRUE(initPlugin());
    // A blank pasted around an address is no part of it.
    ASSERT_TRUE(host().waitForLogContaining("Connected to robot @  127.9.12.1 ", 20000));
    ASSERT_TRUE(waitFor([&] {
        auto list = ur_test::readList(device(92), {"force_x_92"});
        return plugin()->readData(list.get());
    }));
    // One robot configured twice is told as such, once; no robot "shares" names with itself.
    EXPECT_TRUE(host().waitForLogContaining(
        "Robots First (id 94) and Second (id 95) are both configured with the address "
        "127.9.12.2",
        20000));
    EXPECT_TRUE(waitFor([] { return host().findItem("counter", nullptr); }));
    // The empty address's failures, over more than one lookup.
    EXPECT_TRUE(waitFor([] {
        int lookups = 0;
        for (const noru_standin::LogLine &line : host().logs())
            lookups += line.message == "Eror resolving host: ";
        return lookups >= 2;
    }, 30000));
    const int64_t seconds = running.elapsed() / 1000 + 1;
    EXPECT_EQ(host().countLogsContaining("are both configured with the address"), 1);
    EXPECT_EQ(host().countLogsContaining("uses the name"), 0);
    // The empty address fails as a name that does not resolve: paced, not 34 times a second.
    int reconnecting = 0;
    for (const noru_standin::LogLine &line : host().logs())
        reconnecting += line.message == "Reconnecting robot ";
    EXPECT_GE(reconnecting, 2);
    EXPECT_LE(reconnecting, 3 * seconds);
    EXPECT_LE(host().countLogsContaining("Eror resolving host: ::1"), 1 + seconds / 5 + 1);
    EXPECT_EQ(host().countLogsContaining("only IPv4 addresses and host names are supported"), 1);
}

TEST_F(WorkerEndToEnd, StopDoesNotWaitForANameLookup) {
    const int threadsBefore = threads(), descriptorsBefore = openDescriptors();
    host().setDevices({makeDevice(70, "robot.hung.invalid", "Hung", 1)});
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(waitFor([] { return lookups::hung.load() > 0; }));
    QElapsedTimer stopping;
    stopping.start();
    ASSERT_TRUE(plugin()->stopPlugin());
    EXPECT_LT(stopping.elapsed(), 10000) << "stopPlugin waited for a name lookup";
    // The lookup ends after the stop, and must find nothing gone that it touches.
    {
        std::lock_guard<std::mutex> lock(lookups::mutex);
        lookups::released = true;
    }
    lookups::changed.notify_all();
    EXPECT_TRUE(waitFor([&] {
        return threads() == threadsBefore && openDescriptors() == descriptorsBefore;
    })) << threads()
        << " threads, " << openDescriptors() << " descriptors";
}

TEST_F(WorkerEndToEnd, NamesKeepWorkingWhenTheNameServerDoesNot) {
    // The robot drops every connection after a few messages, so it is reconnected often.
    ursim::Robot &robot = serve("127.4.40.1", ursim::Scenario::closeAfter(5));
    host().setDevices({makeDevice(71, "live.alias.invalid", "By name", 1),
                       makeDevice(72, "gone.alias.invalid", "Never resolves", 1)});
    QElapsedTimer running;
    running.start();
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(robot.waitForConnections(1, 20000));
    {
        std::lock_guard<std::mutex> lock(lookups::mutex);
        lookups::nameServerDown = true;
    }
    const int64_t connections = robot.connectionsAccepted();
    EXPECT_TRUE(robot.waitForConnections(connections + 3, 20000));
    EXPECT_EQ(host().countLogsContaining("Eror resolving host: live.alias.invalid"), 0);
    EXPECT_TRUE(host().countLogsContaining("Eror resolving host: gone.alias.invalid"));
    // A name that fails is asked again every few seconds, not at every attempt, and told
    // once per lookup.
    std::lock_guard<std::mutex> lock(lookups::mutex);
    EXPECT_LE(lookups::asked["gone.alias.invalid"], 2 + running.elapsed() / 4000);
    EXPECT_LE(host().countLogsContaining("Eror resolving host: gone.alias.invalid"),
              lookups::asked["gone.alias.invalid"]);
}

TEST_F(WorkerEndToEnd, RobotsLeftWithoutDescriptorsAreNamedInTheLog) {
    if (qEnvironmentVariableIsSet("UR_UNDER_MEMCHECK"))
        GTEST_SKIP() << "memcheck keeps descriptors of its own";
    QStringList addresses;
    QList<DeviceInstancePlugin> devices;
    for (int i = 1; i <= 12; ++i) {
        addresses << QStringLiteral("127.4.42.%1").arg(i);
        devices << makeDevice(80 + i, addresses.last(), "Off", 1);
    }
    ursim::Unreachable unreachable(addresses); // attempts hold their descriptor 500 ms
    ASSERT_TRUE(unreachable.failed().isEmpty());
    // A host whose open files are nearly all taken, and that may open no more.
    const rlim_t tight = rlim_t(openDescriptors() + 8);
    const rlimit limit{tight, tight};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    host().setDevices(devices);
    ASSERT_TRUE(initPlugin());
    EXPECT_TRUE(host().waitForLogContaining("is too low for 12 robots", 20000));
    EXPECT_TRUE(host().waitForLogContaining(
        "Robots cannot be connected: the host process has no file descriptors left", 20000));
}

TEST_F(WorkerEndToEnd, TheDescriptorLimitIsRaisedOnlyWhenRobotsNeedIt) {
    if (qEnvironmentVariableIsSet("UR_UNDER_MEMCHECK"))
        GTEST_SKIP() << "memcheck keeps descriptors of its own";
    QList<DeviceInstancePlugin> devices;
    for (int i = 1; i <= 40; ++i) {
        serve(QStringLiteral("127.9.13.%1").arg(i));
        devices << makeDevice(100 + i, QStringLiteral("127.9.13.%1").arg(i), "Many", 1);
    }
    // Room for the host's own files and a few robots, with the usual hard limit above it.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t tight = rlim_t(openDescriptors() + 20);
    ASSERT_GT(limit.rlim_max, tight + 400);
    const rlimit lowered{tight, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    host().setDevices(devices);
    ASSERT_TRUE(initPlugin());
    EXPECT_TRUE(waitFor([&] {
        return host().countLogsContaining("Connected to robot @ 127.9.13.") == 40;
    }));
    EXPECT_EQ(host().countLogsContaining("Raised the open files limit of the host process"), 1);
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_GE(limit.rlim_cur, tight + 20) << "raised less than the robots need";
    EXPECT_LT(limit.rlim_cur, limit.rlim_max) << "raised further than the robots need";

    // A second start with room for the robots to spare raises nothing, and lowers nothing.
    ASSERT_TRUE(plugin()->stopPlugin());
    const rlimit roomy{limit.rlim_cur + 100, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &roomy), 0);
    host().clearRecords();
    ASSERT_TRUE(plugin()->init());
    EXPECT_TRUE(waitFor([&] {
        return host().countLogsContaining("Connected to robot @ 127.9.13.") == 40;
    }));
    EXPECT_EQ(host().countLogsContaining("Raised the open files limit"), 0);
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, roomy.rlim_cur);
}

TEST_F(WorkerEndToEnd, ConnectFailAndStopCyclesLeakNoDescriptors) {
    ursim::Robot &healthy = serve("127.4.9.1");
    ursim::Robot &closing = serve("127.4.9.2", ursim::Scenario::closeAfter(2));
    serve("127.4.9.3", ursim::Scenario::silent());
    ursim::Unreachable unreachable({"127.4.9.5"});
    host().setDevices(
        {makeDevice(11, "127.4.9.1", "Healthy", 1), makeDevice(12, "127.4.9.2", "Closing", 1),
         makeDevice(13, "127.4.9.3", "Silent", 1), makeDevice(14, "127.4.9.4", "Refusing", 1),
         makeDevice(15, "127.4.9.5", "Off", 1)});
    const int before = openDescriptors();

    for (int round = 0; round < 4; ++round) {
        host().clearRecords();
        ASSERT_TRUE(plugin()->init());
        ASSERT_TRUE(host().waitForLogContaining("Error reading from robot 127.4.9.2", 30000));
        ASSERT_TRUE(host().waitForLogContaining("Disconnected from robot Silent", 30000));
        ASSERT_TRUE(host().waitForLogContaining("Error connecting to robot: 127.4.9.4", 30000));
        // The stop comes while a connection attempt is still in flight.
        ASSERT_TRUE(host().waitForLogContaining("Reconnecting robot 127.4.9.5", 30000));
        ASSERT_TRUE(plugin()->stopPlugin());
        ASSERT_TRUE(healthy.waitForConnectedClients(0, 20000));
        ASSERT_TRUE(closing.waitForConnectedClients(0, 20000));
    }
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == before; }, 20000))
        << openDescriptors() << " open, " << before << " before";
}

} // namespace
