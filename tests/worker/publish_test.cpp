// The worker's published copy of the robot records, seen through getData with the
// plug-in's code linked into the test.
#include "noru_standin.h"
#include "robotlink.h"
#include "ur.h"
#include "ur_test_support.h"
#include "ursim.h"
#include "urworker.h"

#include <fcntl.h>
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

} // namespace
