// The plug-in's static host services (linked in directly): every log line and heartbeat
// reaches the host at its level, one call at a time, whatever thread makes it.
#include "ur.h"
#include "ur_test_support.h"

#include <QSet>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using noru_standin::Host;

class FoundationHostServices : public ::testing::Test {
protected:
    void SetUp() override { Host::instance().reset(); }
};

TEST_F(FoundationHostServices, LogsAndHeartbeatsFromManyThreadsArriveWholeAndNeverOverlap) {
    constexpr int threadCount = 4;
    constexpr int rounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < rounds; ++i) {
                const QString tag = QStringLiteral(" t%1 n%2").arg(t).arg(i);
                UR::logDebug(QStringLiteral("debug") + tag);
                UR::logInfo(QStringLiteral("info") + tag);
                UR::logWarning(QStringLiteral("warning") + tag);
                UR::logError(QStringLiteral("error") + tag);
                DeviceInstancePlugin device{};
                device.id = t * 1000 + i;
                device.address = QStringLiteral("127.3.%1.%2").arg(t).arg(i % 250 + 1);
                UR::addHeartBeat(&device);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    const Host &host = Host::instance();
    const auto lines = host.logs();
    ASSERT_EQ(lines.size(), threadCount * rounds * 4);
    QSet<QString> seen;
    for (const auto &line : lines) {
        // Each message starts with the level it was sent at.
        EXPECT_TRUE(line.message.startsWith(line.level + " ")) << line.message.toStdString();
        seen.insert(line.message);
    }
    EXPECT_EQ(seen.size(), lines.size());

    const auto heartbeats = host.heartbeats();
    ASSERT_EQ(heartbeats.size(), threadCount * rounds);
    QSet<int> ids;
    for (const DeviceInstancePlugin &device : heartbeats) {
        ids.insert(device.id);
        EXPECT_EQ(
            device.address,
            QStringLiteral("127.3.%1.%2").arg(device.id / 1000).arg(device.id % 1000 % 250 + 1));
    }
    EXPECT_EQ(ids.size(), threadCount * rounds);

    const auto calls = host.calls();
    ASSERT_EQ(calls.size(), threadCount * rounds * 5);
    int overlapped = 0;
    QMap<QString, int> perOperation;
    for (const auto &call : calls) {
        overlapped += call.overlapped ? 1 : 0;
        ++perOperation[call.operation];
        if (call.operation.startsWith(QStringLiteral("log"))) {
            // logDebug carries "debug ...", and so on.
            EXPECT_TRUE(call.detail.startsWith(call.operation.mid(3).toLower() + " "))
                << call.operation.toStdString() << " " << call.detail.toStdString();
        }
    }
    EXPECT_EQ(overlapped, 0);
    const QMap<QString, int> expected{
        {QStringLiteral("logDebug"), threadCount * rounds},
        {QStringLiteral("logInfo"), threadCount * rounds},
        {QStringLiteral("logWarning"), threadCount * rounds},
        {QStringLiteral("logError"), threadCount * rounds},
        {QStringLiteral("watchdogAddHeartbeat"), threadCount * rounds}};
    EXPECT_EQ(perOperation, expected);
}

TEST_F(FoundationHostServices, MessagesPassUnchanged) {
    const QString text = QStringLiteral(" Reconnecting robot  IP: 127.0.0.1 \n\t äöü ");
    UR::logInfo(text);
    UR::logError(QString());
    const auto lines = Host::instance().logs();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].message, text);
    EXPECT_EQ(lines[0].level, QStringLiteral("info"));
    EXPECT_TRUE(lines[1].message.isEmpty());
    EXPECT_EQ(lines[1].level, QStringLiteral("error"));
}

TEST_F(FoundationHostServices, LogListAsHeartbeatDeviceShowsItsIdAndAddress) {
    auto list = ur_test::readList(
        ur_test::makeDevice(42, QStringLiteral("127.3.42.1"), QStringLiteral("Robot 42"), 9,
                            {{QStringLiteral("version"), QStringLiteral("3")}}, 2),
        {QStringLiteral("identity_42_vendor")});
    std::fill(std::begin(list->hostFields), std::end(list->hostFields), 0xEE);
    UR::addHeartBeat(list.get());

    const auto heartbeats = Host::instance().heartbeats();
    ASSERT_EQ(heartbeats.size(), 1);
    const DeviceInstancePlugin &seen = heartbeats[0];
    EXPECT_EQ(seen.id, 42);
    EXPECT_EQ(seen.address, QStringLiteral("127.3.42.1"));
    EXPECT_EQ(seen.name, QStringLiteral("Robot 42"));
    EXPECT_EQ(seen.errorWaitSeconds, 9);
    EXPECT_EQ(seen.settings.value(QStringLiteral("version")), QStringLiteral("3"));
    EXPECT_EQ(seen.items.size(), 2);
}

} // namespace
