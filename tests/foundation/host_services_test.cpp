// The plug-in's static host services, linked in directly: every log line and heartbeat
// reaches the host whole and at its level, one call at a time, whatever thread makes it.
#include "ur.h"
#include "ur_test_support.h"

#include <QSet>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

TEST(FoundationHostServices, CallsFromManyThreadsArriveWholeAndNeverOverlap) {
    noru_standin::Host &host = noru_standin::Host::instance();
    host.reset();
    constexpr int threadCount = 4, rounds = 200;
    std::thread threads[threadCount];
    for (int t = 0; t < threadCount; ++t)
        threads[t] = std::thread([t] {
            for (int i = 0; i < rounds; ++i) {
                const QString tag = QStringLiteral(" %1.%2 \t äö ").arg(t).arg(i);
                UR::logDebug(QStringLiteral("debug") + tag);
                UR::logInfo(QStringLiteral("info") + tag);
                UR::logWarning(QStringLiteral("warning") + tag);
                UR::logError(QStringLiteral("error") + tag);
                DeviceInstancePlugin device{};
                UR::addHeartBeat(&device);
            }
        });
    for (std::thread &thread : threads)
        thread.join();

    // Each line whole (its text unchanged, at the level it was sent at), none lost or merged.
    QSet<QString> lines;
    for (const noru_standin::LogLine &line : host.logs()) {
        EXPECT_TRUE(line.message.startsWith(line.level + ' ') && line.message.endsWith(" \t äö "));
        lines << line.message;
    }
    EXPECT_EQ(lines.size(), threadCount * rounds * 4);
    EXPECT_EQ(host.heartbeats().size(), threadCount * rounds);
    const auto calls = host.calls();
    EXPECT_TRUE(
        std::none_of(calls.begin(), calls.end(), [](auto &call) { return call.overlapped; }));
}

TEST(FoundationHostServices, ErrorWaitFallsBackToFiveSecondsBelowOne) {
    DeviceInstancePlugin device{};
    const std::pair<int, int> cases[] = {{0, 5}, {-3, 5}, {1, 1}, {30, 30}};
    for (const auto &[configured, expected] : cases) {
        device.errorWaitSeconds = configured;
        EXPECT_EQ(device.getErrorWaitTimeSeconds(), expected) << "configured " << configured;
    }
}

} // namespace
