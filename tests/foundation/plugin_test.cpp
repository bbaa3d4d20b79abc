// The plug-in as the host loads it: the file's metadata and entry points, the registration
// and identity items of init(), and init and stopPlugin from several host threads.
#include "ur_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

class FoundationPluginFile : public ur_test::PluginTest {};
class FoundationRegistration : public ur_test::PluginTest {};
class FoundationLifecycle : public ur_test::PluginTest {};

TEST_F(FoundationPluginFile, MetadataIsQt515ReleaseWithInterfaceIdAndClassNameOnly) {
    const auto entry = harness.metadataEntry();
    ASSERT_NE(entry, nullptr);
    // Magic, metadata version 0, Qt 5.15, release build without processor requirements, then
    // an indefinite CBOR map {2: the 22-byte interface id, 3: "UR"}.
    static const char raw[] = "QTMETADATA !\x00\x05\x0f\x00\xbf\x02\x76"
                              "com.tervane.NORU/1.0.7\x03\x62UR\xff";
    const QByteArray expected(raw, sizeof raw - 1);
    EXPECT_EQ(QByteArray(entry(), expected.size()).toHex(' '), expected.toHex(' '));
}

TEST_F(FoundationPluginFile, OneInstanceCastByClassNameInterfaceNameAndInterfaceId) {
    const auto entry = harness.instanceEntry();
    ASSERT_NE(entry, nullptr);
    QObject *object = entry();
    void *interface = plugin();
    ASSERT_TRUE(object && interface && entry() == object && harness.object() == object);
    // The interface is the second base, so its address differs from the object's.
    EXPECT_NE(interface, static_cast<void *>(object));
    for (const char *name : {"UR", "QObject"})
        EXPECT_EQ(object->qt_metacast(name), object) << name;
    for (const char *name : {"NORUInterface", "com.tervane.NORU/1.0.7"})
        EXPECT_EQ(object->qt_metacast(name), interface) << name;
    for (const char *name : {"com.tervane.NORU/1.0.6", "NoSuchClass"})
        EXPECT_EQ(object->qt_metacast(name), nullptr) << name;

    // The event, callback and write operations succeed without a host call.
    LogList list;
    EXPECT_TRUE(plugin()->getEventData(&list) && plugin()->logCallback(&list) &&
                plugin()->writeData(&list));
    EXPECT_TRUE(host().calls().isEmpty());
}

TEST_F(FoundationRegistration, EveryInitRegistersNameNumberAndColumns) {
    NetworkInterfaceInstance eth0, unnamed, wlan1;
    eth0.name = QStringLiteral("eth0");
    wlan1.name = QStringLiteral("wlan1");
    host().setNetworkInterfaces({eth0, unnamed, wlan1});
    ASSERT_TRUE(initPlugin() && initPlugin());

    // Each column as "name type size default | label=value ...".
    const QString discovery = " __noru_discovery_editable=1 __noru_discovery_parameter_only=1";
    const QStringList expected{
        "version 0 0 2 | Auto=0 Up to 3.2=1 3.3 to 5.8=2 5.9 and up=3",
        "timeout_ms 0 0 60000 |" + discovery,
        "network_interface 8 64 eth0 | All IPv4 interfaces= eth0=eth0 wlan1=wlan1" + discovery,
        "tcp_ports 8 256 29999-30004 |" + discovery};
    const auto calls = host().initPluginCalls();
    ASSERT_EQ(calls.size(), 2);
    for (const noru_standin::InitPluginCall &call : calls) {
        EXPECT_EQ(call.name + ' ' + QString::number(call.number), "universal_robot 7");
        EXPECT_TRUE(call.columns[0].isEmpty() && call.columns[1].isEmpty() &&
                    call.columns[3].isEmpty());
        QStringList columns;
        for (const DatabaseColumnStructure &column : call.columns[2]) {
            columns << QString::asprintf("%s %d %d %s |", qPrintable(column.name), column.type,
                                         column.size, qPrintable(column.defaultValue));
            for (const auto &choice : column.selectionValues)
                columns.last() += ' ' + choice.label + '=' + choice.value;
        }
        EXPECT_EQ(columns, expected);
    }
}

QStringList identity(int id, const QStringList &keys = {"vendor", "model", "firmware"}) {
    QStringList uids;
    for (const QString &key : keys)
        uids << QStringLiteral("identity_%1_%2").arg(id).arg(key);
    return uids;
}

// A robot whose items of the given uids are configured already.
DeviceInstancePlugin robot(int id, const QStringList &configured = {}) {
    DeviceInstancePlugin device = ur_test::makeDevice(id, QStringLiteral("127.7.1.%1").arg(id + 2),
                                                      {}, 0, {}, configured.size());
    for (int i = 0; i < configured.size(); ++i)
        device.items[i].uid = configured[i];
    return device;
}

// Two inits: the first creates the missing identity items, then asks the host once to reload
// unless it is refreshing already; the second finds them all.
TEST_F(FoundationRegistration, IdentityItemsAreCreatedOnceForEachRobot) {
    const struct {
        QList<DeviceInstancePlugin> devices;
        QString refreshing; // the host's plugin_refreshing setting
        QStringList calls;  // identity items added and reloads, in order
    } cases[] = {
        {{robot(3), robot(0), robot(12), robot(-1)}, {}, identity(3) + identity(12) << "reload"},
        {{robot(4)}, "1", identity(4)},
        {{robot(5)}, "1 ", identity(5) << "reload"},
        {{robot(6, identity(6)), robot(7, identity(7, {"model"}))},
         {},
         identity(7, {"vendor", "firmware"}) << "reload"},
        {{robot(8, identity(8))}, {}, {}},
        {{}, {}, {}},
    };
    const QMap<QString, QString> names{
        {"vendor", "Vendor"}, {"model", "Model"}, {"firmware", "Firmware"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.calls.join(' ').toStdString());
        host().reset();
        host().setSetting(QStringLiteral("plugin_refreshing"), c.refreshing);
        host().setDevices(c.devices);
        EXPECT_TRUE(plugin()->init() && plugin()->init() && plugin()->stopPlugin());

        QStringList calls;
        for (const noru_standin::HostCall &call : host().calls()) {
            if (call.operation == QStringLiteral("reloadPlugins"))
                calls << "reload";
            if (call.operation != QStringLiteral("addPluginItem") ||
                !call.detail.startsWith(QStringLiteral("identity_")))
                continue; // items of a worker that got as far as its robots
            calls << call.detail;
            ItemInstancePlugin item{};
            EXPECT_TRUE(host().findItem(call.detail, &item));
            const QString key = item.properties.value(QStringLiteral("item_tags"));
            EXPECT_EQ(item.uid, QStringLiteral("identity_%1_%2").arg(item.deviceId).arg(key));
            EXPECT_EQ(item.name, names.value(key));
            EXPECT_TRUE(item.readIntervalMs == 604800000 && item.hostFlag1 && item.hostInt4 == 1);
        }
        EXPECT_EQ(calls, c.calls);
    }
}

// init holds the host for one call at a time: a read that comes while init stores identity
// items waits for the one in progress, not for the batch.
TEST_F(FoundationRegistration, AReadDuringInitWaitsForOneOfItsCalls) {
    host().setDevices({robot(1), robot(2), robot(3)});
    host().setItemDelay(300);
    std::thread init([this] { plugin()->init(); });
    auto calls = [] { return host().calls(); };
    ASSERT_TRUE(ur_test::waitFor([&] {
        return calls().size() > 0 && calls().last().operation == "addPluginItem";
    }));
    const int arrived = calls().size();
    auto list = ur_test::readList(robot(1), {"force_x_1"});
    plugin()->readData(list.get());
    init.join();
    int stored = 0;
    for (const noru_standin::HostCall &call : calls().mid(arrived)) {
        if (call.detail.startsWith("UR read data"))
            break;
        stored += call.operation == "addPluginItem";
    }
    EXPECT_LE(stored, 1) << "the read waited for init's batch of identity items";
    EXPECT_EQ(host().countLogsContaining("UR read data"), 1);
    plugin()->stopPlugin();
}

// An init that arrives while a stop on another host thread is still winding the worker down
// waits for that stop, then starts a fresh worker; the last stop ends it.
TEST_F(FoundationLifecycle, InitDuringAStopOnAnotherThreadStartsOneFreshWorker) {
    const QString started = "UR thread and worker class is started";
    const QString stopped = "Worker loop stopped. Closing connections";
    constexpr int rounds = 30;
    NORUInterface *ur = plugin();
    // Two host threads take turns: one stops the running worker, the other inits the moment
    // that worker has left its loop, while the stop is still winding its thread down.
    auto arrivals = std::make_shared<std::atomic<int>>(0);
    auto hostThread = [ur, stopped, arrivals](int self) {
        noru_standin::Host &host = noru_standin::Host::instance();
        for (int round = 0; round < rounds; ++round) {
            int earlier = host.countLogsContaining(stopped);
            for (++*arrivals; *arrivals < 2 * (round + 1);)
                std::this_thread::yield();
            if (round % 2 == self) {
                ur->stopPlugin();
                continue;
            }
            host.waitForLog([&](auto &line) { return line.message == stopped && !earlier--; },
                            20000);
            ur->init();
        }
    };
    std::packaged_task<void()> all([ur, hostThread] {
        ur->init();
        std::thread first(hostThread, 0), second(hostThread, 1);
        first.join();
        second.join();
        ur->stopPlugin();
    });
    std::future<void> returned = all.get_future();
    std::thread(std::move(all)).detach(); // a stop that never returns fails, not hangs, the test
    ASSERT_EQ(returned.wait_for(std::chrono::minutes(2)), std::future_status::ready)
        << "a stop never returned: a worker was left claimed on a thread that had ended";
    EXPECT_EQ(host().countLogsContaining(started), rounds + 1);
    EXPECT_EQ(host().countLogsContaining(stopped), rounds + 1);
}

} // namespace
