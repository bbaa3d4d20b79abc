// The worker's parts on their own, with the plug-in's code linked in: the event loop's
// timers, the resolver, and the queue of the worker's host calls.
#include "eventloop.h"
#include "hostgateway.h"
#include "noru_standin.h"
#include "resolver.h"
#include "ur_test_support.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <mutex>
#include <netdb.h>
#include <string>
#include <thread>
#include <vector>

namespace fake {
std::mutex mutex;
bool down = false; // the name server stops answering
std::map<std::string, int> asked;
int askedFor(const char *name) {
    std::lock_guard<std::mutex> lock(mutex);
    return asked[name];
}
} // namespace fake

// Name lookups without a name server: "robot.test.invalid" is 127.0.0.7 while the server is up;
// every other name fails. The resolver, linked into this executable, calls these.
extern "C" int getaddrinfo(const char *node, const char *, const addrinfo *, addrinfo **found) {
    std::lock_guard<std::mutex> lock(fake::mutex);
    ++fake::asked[node ? node : ""];
    if (fake::down || !node || std::strcmp(node, "robot.test.invalid") != 0)
        return EAI_AGAIN;
    auto *address = new sockaddr_in{};
    address->sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.7", &address->sin_addr);
    *found = new addrinfo{};
    (*found)->ai_family = AF_INET;
    (*found)->ai_addr = reinterpret_cast<sockaddr *>(address);
    return 0;
}

extern "C" void freeaddrinfo(addrinfo *list) {
    delete reinterpret_cast<sockaddr_in *>(list->ai_addr);
    delete list;
}

using ur_test::waitFor;

namespace {

TEST(EventLoopTimers, ComeDueInTimeOrderEachOnce) {
    EventLoop loop;
    const std::vector<int64_t> at = {50, 10, 40, 10, 30, 20, 60};
    for (size_t key = 0; key < at.size(); ++key)
        loop.arm(uint32_t(key), at[key]);
    int64_t next = 0;
    ASSERT_TRUE(loop.nextTimer(&next));
    EXPECT_EQ(next, 10);
    auto takeDue = [&loop, &at](int64_t now) {
        std::vector<int64_t> due;
        uint32_t key = 0;
        int64_t when = 0;
        while (loop.takeDue(now, &key, &when)) {
            EXPECT_EQ(when, at[key]);
            due.push_back(when);
        }
        return due;
    };
    EXPECT_EQ(takeDue(45), (std::vector<int64_t>{10, 10, 20, 30, 40}));
    EXPECT_EQ(takeDue(100), (std::vector<int64_t>{50, 60}));
    EXPECT_FALSE(loop.nextTimer(&next)); // no timer is a case of its own, not a far time
}

TEST(Resolver, AFailedRefreshKeepsTheLastGoodAddress) {
    Resolver names(200, 100);
    in_addr address{};
    const char *name = "robot.test.invalid";
    ASSERT_TRUE(waitFor([&] { return names.lookup(name, &address) == Resolver::State::Resolved; }));
    EXPECT_STREQ(inet_ntoa(address), "127.0.0.7");
    {
        std::lock_guard<std::mutex> lock(fake::mutex);
        fake::down = true;
    }
    const int asked = fake::askedFor(name);
    ASSERT_TRUE(waitFor([&] {
        names.lookup(name, &address);
        return fake::askedFor(name) >= asked + 2;
    }));
    address = in_addr{};
    EXPECT_EQ(names.lookup(name, &address), Resolver::State::Resolved);
    EXPECT_STREQ(inet_ntoa(address), "127.0.0.7");
    std::lock_guard<std::mutex> lock(fake::mutex);
    fake::down = false;
}

TEST(Resolver, AFailingNameIsToldOncePerLookupAndAskedAgainWhateverTheClock) {
    Resolver names(60000, 100);
    const char *name = "gone.test.invalid";
    in_addr address{};
    int failures = 0;
    // Asked as often as a robot attempts, every few milliseconds.
    ASSERT_TRUE(waitFor([&] {
        failures += names.lookup(name, &address) == Resolver::State::Failed;
        return fake::askedFor(name) >= 4;
    }));
    EXPECT_GE(failures, 2);
    EXPECT_LE(failures, fake::askedFor(name));

    // The time of day steps back an hour: the name is still asked again when due.
    ur_test::stepTimeOfDay(-3600);
    const int asked = fake::askedFor(name);
    EXPECT_TRUE(waitFor(
        [&] {
            names.lookup(name, &address);
            return fake::askedFor(name) >= asked + 2;
        },
        10000));
    ur_test::stepTimeOfDay(3600);
}

class HostCallQueue : public ::testing::Test {
protected:
    void SetUp() override {
        host().reset();
        HostGateway::startQueue(); // this thread's calls are queued, as the worker's are
    }
    void TearDown() override {
        HostGateway::stopQueue();
        host().setItemDelay(0);
    }
    static noru_standin::Host &host() { return noru_standin::Host::instance(); }
    static void offer(const QString &uid, const QString &name = QString()) {
        ItemInstancePlugin item{};
        item.uid = uid;
        item.name = name;
        HostGateway::addItem(item);
    }
};

TEST_F(HostCallQueue, ASlowHostMakesNoCallerWaitAndNoQueueGrow) {
    host().setItemDelay(2000);
    QElapsedTimer calling;
    calling.start();
    offer("first");
    offer("second");
    offer("second"); // still waiting behind the first: one offer
    for (int i = 0; i < 1500; ++i)
        HostGateway::logInfo(QStringLiteral("line %1").arg(i));
    EXPECT_LT(calling.elapsed(), 2000) << "the caller waited for the host";
    EXPECT_EQ(HostGateway::queueFigures().merged, 1u);
    EXPECT_EQ(HostGateway::queueFigures().dropped, 500u);

    // Once the host has caught up, the gap is told where it was.
    ASSERT_TRUE(host().waitForLogContaining("line 999", 20000));
    HostGateway::logInfo(QStringLiteral("after"));
    ASSERT_TRUE(host().waitForLogContaining("after", 20000));
    EXPECT_EQ(host().countLogsContaining("500 log lines of the plug-in were dropped"), 1);
    EXPECT_EQ(host().countLogsContaining("line 1000"), 0);
    EXPECT_TRUE(host().findItem("second", nullptr));
}

TEST_F(HostCallQueue, AStopWaitsForTheCallInProgressOnly) {
    host().setItemDelay(1000);
    for (int i = 0; i < 20; ++i)
        offer(QStringLiteral("item_%1").arg(i));
    HostGateway::logInfo(QStringLiteral("before the stop"));
    ASSERT_TRUE(waitFor([] { return HostGateway::queueFigures().made > 0; }));
    QElapsedTimer stopping;
    stopping.start();
    HostGateway::stopQueue();
    EXPECT_LT(stopping.elapsed(), 4000);
    EXPECT_EQ(host().countLogsContaining("Stopped before the host took 19 items"), 1);
    EXPECT_EQ(host().countLogsContaining("before the stop"), 1);
    EXPECT_FALSE(host().findItem("item_1", nullptr));
    // After the stop the thread's calls go to the host directly.
    HostGateway::logInfo(QStringLiteral("direct"));
    EXPECT_EQ(host().countLogsContaining("direct"), 1);
}

// A call of another thread outlasts the stop's grace: no queued line starts after it, and the
// notice that follows every line made counts every line lost.
TEST_F(HostCallQueue, NoQueuedCallStartsOnceTheStopsGraceIsOver) {
    HostGateway::logInfo(QStringLiteral("made"));
    ASSERT_TRUE(host().waitForLogContaining("made", 20000));
    host().setLogDelay(3000);
    std::thread other([] { HostGateway::logInfo(QStringLiteral("another thread's")); });
    ASSERT_TRUE(waitFor([] { return host().calls().size() == 2; }));
    for (int i = 0; i < 5; ++i)
        HostGateway::logInfo(QStringLiteral("queued %1").arg(i));
    HostGateway::stopQueue();
    other.join();
    QStringList lines;
    for (const noru_standin::LogLine &line : host().logs())
        lines << line.message;
    EXPECT_EQ(lines, QStringList({"made", "another thread's",
                                  "5 log lines of the plug-in were dropped while the host was "
                                  "slow to take them"}));
}

TEST_F(HostCallQueue, AnOfferAloneIsMadeAndANewerOneTakesTheWaitingOnesPlace) {
    // Nothing else queued: each offer wakes the thread that makes the host calls.
    HostGateway::logInfo(QStringLiteral("idle"));
    ASSERT_TRUE(host().waitForLogContaining("idle", 20000));
    for (const QString uid : {"alone_1", "alone_2", "alone_3"}) {
        offer(uid);
        ASSERT_TRUE(waitFor([&] { return host().findItem(uid, nullptr); })) << uid.toStdString();
    }

    // Behind an item that the host takes its time to store, an offer is renewed.
    host().setItemDelay(1000);
    offer("stored slowly");
    offer("renewed", "older");
    offer("renewed", "newer");
    ItemInstancePlugin stored{};
    ASSERT_TRUE(waitFor([&] { return host().findItem("renewed", &stored); }));
    EXPECT_EQ(stored.name, "newer");
    EXPECT_EQ(host().addedItems().size(), 5);
}

TEST(ItemNameClaims, OneRobotUnderTwoSpellingsOfItsAddressSharesNoName) {
    noru_standin::Host::instance().reset();
    HostGateway::forgetItemNames();
    using ur_test::makeDevice;
    const DeviceInstancePlugin bare = makeDevice(1, "127.28.0.1"),
                               padded = makeDevice(2, " 127.28.0.1 "),
                               other = makeDevice(3, "127.28.0.2");
    // Whichever of the two spellings claims a name first.
    HostGateway::claimItemName("first_bare", bare);
    HostGateway::claimItemName("first_bare", padded);
    HostGateway::claimItemName("first_padded", padded);
    HostGateway::claimItemName("first_padded", bare);
    EXPECT_EQ(noru_standin::Host::instance().countLogsContaining("uses the name"), 0);
    // A robot at another address is told, once for the pair.
    HostGateway::claimItemName("first_bare", other);
    HostGateway::claimItemName("first_bare", other);
    EXPECT_EQ(noru_standin::Host::instance().countLogsContaining("uses the name"), 1);
}

} // namespace
