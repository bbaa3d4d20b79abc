// The stand-in host library itself, which every end-to-end test relies on, and the inline
// behaviour of the shared host records.
#include "ur_test_support.h"

#include <QAtomicInt>

#include <gtest/gtest.h>

#include <thread>

namespace {

using noru_standin::Host;

class FoundationStandin : public ::testing::Test {
protected:
    void SetUp() override {
        host().reset();
        host().setLogListener(nullptr);
    }
    void TearDown() override { host().setLogListener(nullptr); }
    static Host &host() { return Host::instance(); }
};

ItemInstancePlugin item(const QString &uid, int deviceId, const QString &name = QString()) {
    ItemInstancePlugin result{};
    result.uid = uid;
    result.deviceId = deviceId;
    result.name = name.isEmpty() ? uid : name;
    return result;
}

QStringList uidsOfDevice(PluginInterface &service, int id) {
    QStringList result;
    for (const DeviceInstancePlugin &device : service.getPluginDevices()) {
        if (device.id == id) {
            for (const ItemInstancePlugin &each : device.items)
                result << each.uid;
        }
    }
    return result;
}

TEST(FoundationRecords, ErrorWaitFallsBackToFiveSecondsBelowOne) {
    DeviceInstancePlugin device{};
    const std::pair<int, int> cases[] = {{0, 5}, {-3, 5}, {1, 1}, {30, 30}};
    for (const auto &[configured, expected] : cases) {
        device.errorWaitSeconds = configured;
        EXPECT_EQ(device.getErrorWaitTimeSeconds(), expected) << "configured " << configured;
    }
}

TEST_F(FoundationStandin, ColumnKeepsItsFieldsAndSelectionOrder) {
    DatabaseColumnStructure column(QStringLiteral("tcp_ports"), static_cast<DataType>(8), 256,
                                   QStringLiteral("29999-30004"), QStringLiteral("ports"));
    EXPECT_EQ(column.name, QStringLiteral("tcp_ports"));
    EXPECT_EQ(static_cast<int>(column.type), 8);
    EXPECT_EQ(column.size, 256);
    EXPECT_EQ(column.defaultValue, QStringLiteral("29999-30004"));
    EXPECT_EQ(column.description, QStringLiteral("ports"));
    EXPECT_TRUE(column.selectionValues.isEmpty());
    for (unsigned char byte : column.hostData)
        ASSERT_EQ(byte, 0);

    column.insertSelectionValues(QStringLiteral("b"), QStringLiteral("2"));
    column.insertSelectionValues(QStringLiteral("a"), QString());
    ASSERT_EQ(column.selectionValues.size(), 2);
    EXPECT_EQ(column.selectionValues[0].label, QStringLiteral("b"));
    EXPECT_EQ(column.selectionValues[0].value, QStringLiteral("2"));
    EXPECT_EQ(column.selectionValues[1].label, QStringLiteral("a"));
    EXPECT_TRUE(column.selectionValues[1].value.isEmpty());
}

TEST_F(FoundationStandin, AddedItemShowsInItsDeviceAndReadsBackUnchanged) {
    host().setDevices({ur_test::makeDevice(3, QStringLiteral("127.2.3.1"), QString(), 0, {}, 2),
                       ur_test::makeDevice(4, QStringLiteral("127.2.3.2"))});
    PluginInterface service;

    ItemInstancePlugin added =
        item(QStringLiteral("base_temperature_3"), 3, QStringLiteral("Base temperature"));
    added.unit = QStringLiteral("C°");
    added.readIntervalMs = 0;
    added.hostInt4 = 1;
    added.properties.insert(QStringLiteral("item_tags"), QStringLiteral("joint"));
    EXPECT_TRUE(service.addPluginItem(&added));

    EXPECT_EQ(uidsOfDevice(service, 3),
              QStringList({"filler_3_0", "filler_3_1", "base_temperature_3"}));
    EXPECT_TRUE(uidsOfDevice(service, 4).isEmpty());

    ItemInstancePlugin back{};
    ASSERT_TRUE(service.getPluginItem(QStringLiteral("base_temperature_3"), &back));
    EXPECT_EQ(back.uid, added.uid);
    EXPECT_EQ(back.name, added.name);
    EXPECT_EQ(back.unit, added.unit);
    EXPECT_EQ(back.deviceId, 3);
    EXPECT_EQ(back.readIntervalMs, 0);
    EXPECT_EQ(back.hostInt4, 1);
    EXPECT_EQ(back.properties, added.properties);

    // Configured items are found by uid as well; unknown ones are not.
    EXPECT_TRUE(service.getPluginItem(QStringLiteral("filler_3_1"), &back));
    EXPECT_EQ(back.uid, QStringLiteral("filler_3_1"));
    EXPECT_FALSE(service.getPluginItem(QStringLiteral("base_temperature_4"), &back));
}

TEST_F(FoundationStandin, AddingTheSameUidReplacesTheItemEverywhere) {
    host().setDevices({ur_test::makeDevice(3, QStringLiteral("127.2.4.1")),
                       ur_test::makeDevice(4, QStringLiteral("127.2.4.2"))});
    PluginInterface service;
    ItemInstancePlugin first = item(QStringLiteral("counter"), 3, QStringLiteral("first"));
    ItemInstancePlugin other = item(QStringLiteral("other"), 3);
    service.addPluginItem(&first);
    service.addPluginItem(&other);
    ItemInstancePlugin second = item(QStringLiteral("counter"), 3, QStringLiteral("second"));
    service.addPluginItem(&second);

    EXPECT_EQ(uidsOfDevice(service, 3), QStringList({"counter", "other"}));
    ItemInstancePlugin back{};
    ASSERT_TRUE(service.getPluginItem(QStringLiteral("counter"), &back));
    EXPECT_EQ(back.name, QStringLiteral("second"));

    // Moved to another device: shown only there.
    ItemInstancePlugin moved = item(QStringLiteral("counter"), 4, QStringLiteral("moved"));
    service.addPluginItem(&moved);
    EXPECT_EQ(uidsOfDevice(service, 3), QStringList({"other"}));
    EXPECT_EQ(uidsOfDevice(service, 4), QStringList({"counter"}));
    EXPECT_EQ(host().addedItems().size(), 4);
}

TEST_F(FoundationStandin, DataDirectoryReachesNewAndLiveServiceObjects) {
    host().setDataDirectory(QStringLiteral("/tmp/first"));
    PluginInterface live;
    EXPECT_EQ(live.dataDirectory, QStringLiteral("/tmp/first"));
    host().setDataDirectory(QStringLiteral("/tmp/second"));
    EXPECT_EQ(live.dataDirectory, QStringLiteral("/tmp/second"));
    PluginInterface later;
    EXPECT_EQ(later.dataDirectory, QStringLiteral("/tmp/second"));
}

TEST_F(FoundationStandin, RecordsSettingsInterfacesReloadsAndLogLevels) {
    host().setSetting(QStringLiteral("plugin_refreshing"), QStringLiteral("1"));
    NetworkInterfaceInstance eth0;
    eth0.name = QStringLiteral("eth0");
    host().setNetworkInterfaces({eth0});
    PluginInterface service;

    EXPECT_EQ(service.getSetting(QStringLiteral("plugin_refreshing")), QStringLiteral("1"));
    EXPECT_TRUE(service.getSetting(QStringLiteral("unknown")).isEmpty());
    ASSERT_EQ(service.getNetworkInterfaces().size(), 1);
    EXPECT_EQ(service.getNetworkInterfaces()[0].name, QStringLiteral("eth0"));
    service.reloadPlugins();
    service.reloadPlugins();
    EXPECT_EQ(host().reloadCount(), 2);

    service.logDebug(QStringLiteral("d"));
    service.logInfo(QStringLiteral("i"));
    service.logWarning(QStringLiteral("w"));
    service.logError(QStringLiteral("e"));
    const auto lines = host().logs();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0].level + lines[0].message, QStringLiteral("debugd"));
    EXPECT_EQ(lines[1].level + lines[1].message, QStringLiteral("infoi"));
    EXPECT_EQ(lines[2].level + lines[2].message, QStringLiteral("warningw"));
    EXPECT_EQ(lines[3].level + lines[3].message, QStringLiteral("errore"));
    EXPECT_TRUE(host().waitForLogContaining(QStringLiteral("w"), 0));
    EXPECT_FALSE(host().waitForLogContaining(QStringLiteral("absent"), 0));

    QStringList operations;
    for (const auto &call : host().calls())
        operations << call.operation;
    EXPECT_EQ(operations, QStringList({"getSetting", "getSetting", "getNetworkInterfaces",
                                       "getNetworkInterfaces", "reloadPlugins", "reloadPlugins",
                                       "logDebug", "logInfo", "logWarning", "logError"}));
}

TEST_F(FoundationStandin, ConcurrentCallsAreMarkedOverlapped) {
    PluginInterface service;
    QAtomicInt secondRecorded(0);
    // The first call stays in flight (inside its listener) until the second one has been
    // recorded on another thread.
    host().setLogListener([&secondRecorded](const noru_standin::LogLine &line) {
        if (line.message == QStringLiteral("first"))
            ur_test::waitFor([&] { return secondRecorded.loadAcquire() == 1; }, 30000);
    });
    std::thread other([&] {
        ur_test::waitFor([] { return Host::instance().countLogsContaining("first") > 0; }, 30000);
        DeviceInstancePlugin device{};
        device.id = 2;
        service.watchdogAddHeartbeat(&device);
        secondRecorded.storeRelease(1);
    });
    service.logWarning(QStringLiteral("first"));
    other.join();

    const auto calls = host().calls();
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls[0].operation, QStringLiteral("logWarning"));
    EXPECT_EQ(calls[1].operation, QStringLiteral("watchdogAddHeartbeat"));
    EXPECT_EQ(calls[1].detail, QStringLiteral("2"));
    EXPECT_TRUE(calls[0].overlapped);
    EXPECT_TRUE(calls[1].overlapped);

    // One after the other on the same thread: no overlap.
    host().setLogListener(nullptr);
    host().clearRecords();
    service.logInfo(QStringLiteral("a"));
    service.logInfo(QStringLiteral("b"));
    for (const auto &call : host().calls())
        EXPECT_FALSE(call.overlapped);
}

} // namespace
