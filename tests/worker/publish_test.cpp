// The worker's published copy of the robot records, seen through getData with the
// plug-in's code linked into the test.
#include "noru_standin.h"
#include "robotlink.h"
#include "ur.h"
#include "ur_test_support.h"
#include "ursim.h"
#include "urworker.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using ur_test::makeDevice;
using ur_test::waitFor;

namespace {

class PublishedRecords : public ::testing::Test {
protected:
    void SetUp() override {
        host().reset();
        ASSERT_TRUE(sim.start());
    }
    void TearDown() override {
        plugin.stopPlugin();
        sim.stop();
    }
    static noru_standin::Host &host() { return noru_standin::Host::instance(); }

    urinstance find(const QString &address, bool *found) {
        return UR::worker->getData(address, found);
    }

    ursim::Simulator sim;
    UR plugin;
};

TEST_F(PublishedRecords, FoundByExactAddressOnlyAfterTheSetUpPass) {
    ursim::RobotConfig config;
    config.address = QStringLiteral("127.4.20.1");
    sim.addRobot(config);
    // Two devices share an address: the first one is found.
    host().setDevices(
        {makeDevice(1, "127.4.20.1", "First", 1), makeDevice(2, "127.4.20.1", "Second", 1)});
    ASSERT_TRUE(plugin.init());

    bool found = true;
    const urinstance early = find("127.4.20.1", &found);
    EXPECT_FALSE(found);
    EXPECT_FALSE(early.initialized);
    EXPECT_TRUE(early.device.address.isEmpty());

    ASSERT_TRUE(waitFor([&] {
        find("127.4.20.1", &found);
        return found;
    }));
    const urinstance record = find("127.4.20.1", &found);
    EXPECT_TRUE(record.initialized);
    EXPECT_EQ(record.device.id, 1);
    EXPECT_EQ(record.device.name, "First");

    for (const char *other : {"127.4.20.10", " 127.4.20.1", "127.4.20.1 ", ""}) {
        find(other, &found);
        EXPECT_FALSE(found) << other;
    }
}

TEST_F(PublishedRecords, NewConnectionStartsANewStreamAndClosesOnlyWhatIsOpen) {
    ursim::RobotConfig config;
    config.address = QStringLiteral("127.4.21.1");
    config.scenario = ursim::Scenario::silent();
    sim.addRobot(config);

    WorkerClass worker(nullptr);
    urinstance robot;
    robot.device = makeDevice(3, "127.4.21.1", "Robot", 1);
    robot.pendingBytes = QByteArray::fromHex("000002c010"); // half a message of the old stream
    ASSERT_TRUE(worker.connectToRobot(&robot, false));
    EXPECT_TRUE(robot.connected);
    EXPECT_TRUE(robot.socketOpen);
    EXPECT_TRUE(robot.pendingBytes.isEmpty());

    // The silent robot's read finds nothing, which closes the connection ...
    NetResult silent;
    silent.outcome = NetOutcome::Silent;
    robotlink::readFinished(&robot, robotlink::ReadEnd::Silent, silent, 0, 0, monotonicMs());
    EXPECT_FALSE(robot.socketOpen);

    // ... and its number goes to someone else, which the next connection must not close.
    const int reused = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reused, 0);
    robot.connected = false;
    ASSERT_TRUE(worker.connectToRobot(&robot, false));
    EXPECT_NE(::fcntl(reused, F_GETFD), -1) << "a descriptor closed earlier was closed again";
    ::close(reused);
}

TEST_F(PublishedRecords, ARobotGoneIntoItsErrorWaitIsPublishedAtOnce) {
    bool found = false;
    ursim::RobotConfig config;
    config.address = QStringLiteral("127.9.14.1");
    config.rateHz = 20;
    ursim::Robot &robot = sim.addRobot(config);
    host().setDevices({makeDevice(4, "127.9.14.1", "Falls silent", 60)});
    ASSERT_TRUE(plugin.init());
    ASSERT_TRUE(waitFor([&] { return find("127.9.14.1", &found).dataReceived; }));
    // It stays silent on every new connection, and the third failed read begins the wait.
    robot.setScenario(ursim::Scenario::silent());
    ASSERT_TRUE(host().waitForLogContaining("Waiting another 60 seconds", 30000));
    // Long before the wait ends, its copy no longer shows a connected robot.
    EXPECT_TRUE(waitFor([&] { return !find("127.9.14.1", &found).connected; }, 20000));
}

// Publication as the worker sees it, with the readers' lock in the test's hands.
struct HeldPublication : Publication {
    QMutex &lock() { return publishMutex; }
};

TEST(Publication, ARecordThatCouldNotBePublishedGoesWithTheNextPublication) {
    QList<urinstance> robots = {urinstance()};
    robots[0].device.address = QStringLiteral("127.4.22.1");
    robots[0].connected = true;
    HeldPublication publication;
    publication.publishAll(robots);

    // The robot goes away while a reader holds the lock; nothing else changes afterwards.
    robots[0].connected = false;
    publication.markChanged(0);
    publication.lock().lock();
    EXPECT_FALSE(publication.publishChanged(robots));
    publication.lock().unlock();
    EXPECT_TRUE(publication.publishChanged(robots));
    bool found = false;
    EXPECT_FALSE(publication.find(QStringLiteral("127.4.22.1"), &found).connected);
    EXPECT_TRUE(found);
}

TEST(Socket, OneReadTakesAllTheSocketHolds) {
    // A burst of several read buffers (a long variable list, many text messages) is taken
    // at once, not a buffer per wake-up while the rest waits and ages.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    const int room = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    const QByteArray burst(200000, 'x');
    ASSERT_EQ(::write(pair[1], burst.constData(), size_t(burst.size())), burst.size());
    size_t taken = 0;
    const NetResult result = Socket::readAvailable(pair[0], [&](const char *, size_t size) {
        taken += size;
        return true;
    });
    EXPECT_EQ(result.outcome, NetOutcome::Data);
    EXPECT_EQ(taken, size_t(burst.size()));
    ::close(pair[0]);
    ::close(pair[1]);
}

} // namespace
