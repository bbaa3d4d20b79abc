// init(): registration with the host (name, number, columns, options), the "Init UR app"
// line after it, and the identity items of the configured robots.
#include "ur_test_support.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using noru_standin::HostCall;
using noru_standin::InitPluginCall;
using Selection = QList<std::pair<QString, QString>>;

class FoundationRegistration : public ur_test::PluginTest {};
class FoundationIdentity : public ur_test::PluginTest {};

NetworkInterfaceInstance nic(const QString &name) {
    NetworkInterfaceInstance result;
    result.name = name;
    result.hostText1 = QStringLiteral("host text of ") + name;
    return result;
}

Selection selection(const DatabaseColumnStructure &column) {
    Selection result;
    for (const auto &choice : column.selectionValues)
        result.append({choice.label, choice.value});
    return result;
}

const std::pair<QString, QString> editable{QStringLiteral("__noru_discovery_editable"),
                                           QStringLiteral("1")};
const std::pair<QString, QString> parameterOnly{QStringLiteral("__noru_discovery_parameter_only"),
                                                QStringLiteral("1")};

void expectColumn(const DatabaseColumnStructure &column, const char *name, int type, int size,
                  const char *defaultValue, const char *description, const Selection &choices) {
    SCOPED_TRACE(name);
    EXPECT_EQ(column.name, QString::fromLatin1(name));
    EXPECT_EQ(static_cast<int>(column.type), type);
    EXPECT_EQ(column.size, size);
    EXPECT_EQ(column.defaultValue, QString::fromLatin1(defaultValue));
    EXPECT_EQ(column.description, QString::fromLatin1(description));
    EXPECT_EQ(selection(column), choices);
}

// The whole registration, with the names of the host's interfaces that the third column
// is expected to offer.
void expectRegistration(const InitPluginCall &call, const QStringList &interfaceNames) {
    EXPECT_EQ(call.name, QStringLiteral("universal_robot"));
    EXPECT_EQ(call.number, 7u);
    EXPECT_TRUE(call.columns[0].isEmpty());
    EXPECT_TRUE(call.columns[1].isEmpty());
    EXPECT_TRUE(call.columns[3].isEmpty());
    ASSERT_EQ(call.columns[2].size(), 4);

    expectColumn(call.columns[2][0], "version", 0, 0, "2", "The robot software version",
                 {{QStringLiteral("Auto"), QStringLiteral("0")},
                  {QStringLiteral("Up to 3.2"), QStringLiteral("1")},
                  {QStringLiteral("3.3 to 5.8"), QStringLiteral("2")},
                  {QStringLiteral("5.9 and up"), QStringLiteral("3")}});
    expectColumn(call.columns[2][1], "timeout_ms", 0, 0, "60000",
                 "Overall discovery window in milliseconds for Universal Robots TCP probe. "
                 "Default 60000 is 60 seconds.",
                 {editable, parameterOnly});
    Selection nics{{QStringLiteral("All IPv4 interfaces"), QString()}};
    for (const QString &name : interfaceNames)
        nics.append({name, name});
    nics << editable << parameterOnly;
    expectColumn(call.columns[2][2], "network_interface", 8, 64, "eth0",
                 "Ethernet interface used for Universal Robots TCP subnet probe. Default is "
                 "eth0. Choose All IPv4 interfaces to scan every NIC.",
                 nics);
    expectColumn(call.columns[2][3], "tcp_ports", 8, 256, "29999-30004",
                 "TCP ports for Universal Robots identify. Default 29999-30004 (dashboard "
                 "29999, primary 30001, secondary/realtime/RTDE 30002-30004). Use commas and "
                 "ranges.",
                 {editable, parameterOnly});

    const PluginInitOptions &options = call.options;
    EXPECT_EQ(options.hostInt1, 32);
    EXPECT_FALSE(options.hostFlag1);
    EXPECT_FALSE(options.hostFlag2);
    EXPECT_TRUE(options.hostFlag3);
    EXPECT_EQ(options.hostInt2, 180);
    EXPECT_TRUE(options.hostFlag4);
    EXPECT_FALSE(options.hostFlag5);
    EXPECT_FALSE(options.hostFlag6);
    EXPECT_FALSE(options.hostFlag7);
    EXPECT_EQ(options.actionName, QStringLiteral("discover"));
    EXPECT_TRUE(options.hostValues.isEmpty());
}

int indexOfCall(const QList<HostCall> &calls, const QString &operation, const QString &detail,
                int from = 0) {
    for (int i = from; i < calls.size(); ++i) {
        if (calls[i].operation == operation && calls[i].detail == detail)
            return i;
    }
    return -1;
}

QList<ItemInstancePlugin> identityItemsAdded() {
    QList<ItemInstancePlugin> result;
    for (const ItemInstancePlugin &item : noru_standin::Host::instance().addedItems()) {
        if (item.uid.startsWith(QStringLiteral("identity_")))
            result.append(item);
    }
    return result;
}

QStringList uids(const QList<ItemInstancePlugin> &items) {
    QStringList result;
    for (const ItemInstancePlugin &item : items)
        result << item.uid;
    return result;
}

TEST_F(FoundationRegistration, RegistersNameNumberColumnsAndOptions) {
    host().setNetworkInterfaces(
        {nic(QStringLiteral("eth0")), nic(QString()), nic(QStringLiteral("wlan1"))});
    ASSERT_TRUE(initPlugin());

    const QList<InitPluginCall> inits = host().initPluginCalls();
    ASSERT_EQ(inits.size(), 1);
    expectRegistration(inits[0], {QStringLiteral("eth0"), QStringLiteral("wlan1")});
}

TEST_F(FoundationRegistration, WithoutInterfacesOffersOnlyAllInterfacesAndTheDiscoveryPair) {
    ASSERT_TRUE(initPlugin());
    const QList<InitPluginCall> inits = host().initPluginCalls();
    ASSERT_EQ(inits.size(), 1);
    expectRegistration(inits[0], {});
}

TEST_F(FoundationRegistration, LogsInitAtDebugLevelAfterRegistering) {
    ASSERT_TRUE(initPlugin());

    const QList<noru_standin::LogLine> lines = host().logs();
    int initLines = 0;
    for (const auto &line : lines) {
        if (line.message == QStringLiteral("Init UR app")) {
            ++initLines;
            EXPECT_EQ(line.level, QStringLiteral("debug"));
        }
    }
    EXPECT_EQ(initLines, 1);

    const QList<HostCall> calls = host().calls();
    const int registration =
        indexOfCall(calls, QStringLiteral("initPlugin"), QStringLiteral("universal_robot"));
    const int initLine =
        indexOfCall(calls, QStringLiteral("logDebug"), QStringLiteral("Init UR app"));
    ASSERT_GE(registration, 0);
    ASSERT_GE(initLine, 0);
    EXPECT_LT(registration, initLine);
}

TEST_F(FoundationRegistration, SecondInitRegistersAgainWithTheSameValues) {
    host().setNetworkInterfaces({nic(QStringLiteral("enp3s0"))});
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(initPlugin());

    const QList<InitPluginCall> inits = host().initPluginCalls();
    ASSERT_EQ(inits.size(), 2);
    for (const InitPluginCall &call : inits)
        expectRegistration(call, {QStringLiteral("enp3s0")});
    EXPECT_EQ(host().countLogsContaining(QStringLiteral("Init UR app")), 2);

    const QList<HostCall> calls = host().calls();
    const int secondRegistration = indexOfCall(
        calls, QStringLiteral("initPlugin"), QStringLiteral("universal_robot"),
        indexOfCall(calls, QStringLiteral("initPlugin"), QStringLiteral("universal_robot")) + 1);
    ASSERT_GT(secondRegistration, 0);
    EXPECT_GT(indexOfCall(calls, QStringLiteral("logDebug"), QStringLiteral("Init UR app"),
                          secondRegistration),
              secondRegistration);
}

void expectIdentityItem(const ItemInstancePlugin &item, int deviceId, const char *key,
                        const char *label, const char *description) {
    SCOPED_TRACE(item.uid.toStdString());
    EXPECT_EQ(item.uid, QStringLiteral("identity_%1_%2").arg(deviceId).arg(key));
    EXPECT_EQ(item.name, QString::fromLatin1(label));
    EXPECT_EQ(item.description, QString::fromLatin1(description));
    EXPECT_TRUE(item.hostFlag1);
    EXPECT_EQ(item.readIntervalMs, 604800000);
    EXPECT_EQ(item.hostInt4, 1);
    EXPECT_EQ(item.deviceId, deviceId);
    const QMap<QString, QString> tags{{QStringLiteral("item_tags"), QString::fromLatin1(key)}};
    EXPECT_EQ(item.properties, tags);
    // Everything else stays cleared.
    EXPECT_EQ(item.id, 0);
    EXPECT_TRUE(item.unit.isEmpty());
    EXPECT_FALSE(item.hostFlag3);
    EXPECT_EQ(item.hostInt1, 0);
    EXPECT_TRUE(item.hostText1.isEmpty());
    EXPECT_TRUE(item.errorText.isEmpty());
    EXPECT_TRUE(item.hostTexts.isEmpty());
    EXPECT_TRUE(item.mappings.isEmpty());
}

TEST_F(FoundationIdentity, InitCreatesVendorModelFirmwareForEachValidDeviceAndReloadsOnce) {
    host().setDevices({ur_test::makeDevice(3, QStringLiteral("127.1.3.1")),
                       ur_test::makeDevice(0, QStringLiteral("127.1.3.2")),
                       ur_test::makeDevice(12, QStringLiteral("127.1.3.3")),
                       ur_test::makeDevice(-1, QStringLiteral("127.1.3.4"))});
    ASSERT_TRUE(initPlugin());

    const QList<ItemInstancePlugin> created = identityItemsAdded();
    ASSERT_EQ(uids(created),
              QStringList({"identity_3_vendor", "identity_3_model", "identity_3_firmware",
                           "identity_12_vendor", "identity_12_model", "identity_12_firmware"}));
    for (int i = 0; i < 2; ++i) {
        const int device = i == 0 ? 3 : 12;
        expectIdentityItem(created[3 * i], device, "vendor", "Vendor", "Robot manufacturer");
        expectIdentityItem(created[3 * i + 1], device, "model", "Model", "UR project / robot name");
        expectIdentityItem(created[3 * i + 2], device, "firmware", "Firmware",
                           "UR controller software version");
    }
    EXPECT_EQ(host().reloadCount(), 1);

    // One reload, after the last identity item and before the init line.
    const QList<HostCall> calls = host().calls();
    const int lastItem =
        indexOfCall(calls, QStringLiteral("addPluginItem"), QStringLiteral("identity_12_firmware"));
    const int reload = indexOfCall(calls, QStringLiteral("reloadPlugins"), QString());
    const int initLine =
        indexOfCall(calls, QStringLiteral("logDebug"), QStringLiteral("Init UR app"));
    EXPECT_LT(lastItem, reload);
    EXPECT_LT(reload, initLine);
}

TEST_F(FoundationIdentity, NoReloadWhileTheHostIsRefreshing) {
    host().setSetting(QStringLiteral("plugin_refreshing"), QStringLiteral("1"));
    host().setDevices({ur_test::makeDevice(4, QStringLiteral("127.1.4.1"))});
    ASSERT_TRUE(initPlugin());

    EXPECT_EQ(uids(identityItemsAdded()),
              QStringList({"identity_4_vendor", "identity_4_model", "identity_4_firmware"}));
    EXPECT_EQ(host().reloadCount(), 0);
}

TEST_F(FoundationIdentity, OnlyAnExactOneCountsAsRefreshing) {
    host().setSetting(QStringLiteral("plugin_refreshing"), QStringLiteral("1 "));
    host().setDevices({ur_test::makeDevice(5, QStringLiteral("127.1.5.1"))});
    ASSERT_TRUE(initPlugin());
    EXPECT_EQ(identityItemsAdded().size(), 3);
    EXPECT_EQ(host().reloadCount(), 1);
}

TEST_F(FoundationIdentity, ExistingItemsAreKeptAndOnlyMissingOnesCreated) {
    DeviceInstancePlugin complete = ur_test::makeDevice(6, QStringLiteral("127.1.6.1"));
    DeviceInstancePlugin partial = ur_test::makeDevice(7, QStringLiteral("127.1.6.2"));
    for (const char *key : {"vendor", "model", "firmware"}) {
        ItemInstancePlugin item{};
        item.uid = QStringLiteral("identity_6_%1").arg(key);
        item.name = QStringLiteral("configured");
        item.deviceId = 6;
        complete.items.append(item);
    }
    ItemInstancePlugin model{};
    model.uid = QStringLiteral("identity_7_model");
    model.deviceId = 7;
    partial.items.append(model);
    host().setDevices({complete, partial});
    ASSERT_TRUE(initPlugin());

    EXPECT_EQ(uids(identityItemsAdded()),
              QStringList({"identity_7_vendor", "identity_7_firmware"}));
    EXPECT_EQ(host().reloadCount(), 1);
    ItemInstancePlugin kept{};
    ASSERT_TRUE(host().findItem(QStringLiteral("identity_6_model"), &kept));
    EXPECT_EQ(kept.name, QStringLiteral("configured"));
}

TEST_F(FoundationIdentity, NothingCreatedAndNoReloadWhenAllExist) {
    DeviceInstancePlugin device = ur_test::makeDevice(8, QStringLiteral("127.1.8.1"));
    for (const char *key : {"vendor", "model", "firmware"}) {
        ItemInstancePlugin item{};
        item.uid = QStringLiteral("identity_8_%1").arg(key);
        item.deviceId = 8;
        device.items.append(item);
    }
    host().setDevices({device});
    ASSERT_TRUE(initPlugin());

    EXPECT_TRUE(identityItemsAdded().isEmpty());
    EXPECT_EQ(host().reloadCount(), 0);
}

TEST_F(FoundationIdentity, SecondInitFindsTheItemsOfTheFirst) {
    host().setDevices({ur_test::makeDevice(9, QStringLiteral("127.1.9.1"))});
    ASSERT_TRUE(initPlugin());
    ASSERT_EQ(identityItemsAdded().size(), 3);
    ASSERT_EQ(host().reloadCount(), 1);

    ASSERT_TRUE(initPlugin());
    EXPECT_EQ(identityItemsAdded().size(), 3);
    EXPECT_EQ(host().reloadCount(), 1);
}

TEST_F(FoundationIdentity, WithoutDevicesNothingIsCreated) {
    ASSERT_TRUE(initPlugin());
    EXPECT_TRUE(identityItemsAdded().isEmpty());
    EXPECT_EQ(host().reloadCount(), 0);
    EXPECT_EQ(indexOfCall(host().calls(), QStringLiteral("getSetting"),
                          QStringLiteral("plugin_refreshing")),
              -1);
}

} // namespace
