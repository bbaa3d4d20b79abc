// The controller simulator over loopback, seen by a plain socket client.
#include "client.h"
#include "urencoder.h"
#include "ursim.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <chrono>

using ursim::RobotConfig;
using ursim::Scenario;
using ursim::Simulator;
using ursim::Value;

namespace {

constexpr int kDeadlineMs = 20000;

// Fixed, recognisable values; animation off so that they go out unchanged.
RobotConfig staticRobot(const char *address) {
    RobotConfig c;
    c.address = QString::fromLatin1(address);
    c.projectName = "TestCell";
    c.major = 5;
    c.minor = 12;
    c.mode.isProgramRunning = 1;
    c.mode.robotMode = 7;
    c.mode.speedScaling = 0.5;
    for (int j = 0; j < 6; ++j) {
        c.joints[j].motorTemperature = 30.0f + j;
        c.joints[j].actualCurrent = 0.25f * j;
    }
    c.tool.toolTemperature = 33.5f;
    c.masterboard.masterBoardTemperature = 41.0f;
    c.masterboard.digitalInputBits = 0x80000001u;
    c.force = {1, 2, 3, 4, 5, 6, 7};
    c.rateHz = 50;
    return c;
}

int type(const QByteArray &msg) {
    return msg.size() > 4 ? wire::u8(msg, 4) : -1;
}

// Skips messages until one of the given type arrives.
QByteArray nextOfType(TestClient &client, int wanted) {
    for (int i = 0; i < 1000; ++i) {
        const QByteArray m = client.nextMessage();
        if (m.isEmpty() || type(m) == wanted)
            return m;
    }
    return QByteArray();
}

int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

// --- Normal stream ------------------------------------------------------------------------

TEST(SimulatorStream, ClientGetsVersionFirstThenRobotStates) {
    Simulator sim;
    ursim::Robot &robot = sim.addRobot(staticRobot("127.31.0.1"));
    ASSERT_TRUE(sim.start()) << qPrintable(robot.lastError());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.0.1"), 0);

    const QByteArray version = client.nextMessage();
    EXPECT_EQ(version, urenc::versionMessage("TestCell", 5, 12, 0, 0, "01-01-2024, 00:00:00"));
    // Robot states follow, each whole and holding the sub-packages a 5.x controller sends.
    for (int i = 0; i < 3; ++i) {
        const QByteArray state = nextOfType(client, 16);
        ASSERT_FALSE(state.isEmpty());
        QList<int> types;
        for (const QByteArray &p : wire::subPackages(state))
            types << wire::u8(p, 4);
        EXPECT_EQ(types, (QList<int>{0, 1, 4, 3, 2, 7, 8}));
    }
    EXPECT_TRUE(robot.waitForConnections(1, kDeadlineMs));
    EXPECT_EQ(robot.connectedClients(), 1);
}

TEST(SimulatorStream, AnimatedRobotChangesFromMessageToMessage) {
    Simulator sim;
    RobotConfig cfg = RobotConfig::realistic("127.31.0.4");
    cfg.rateHz = 50;
    sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.0.4"), 0);
    const QByteArray first = wire::subPackage(nextOfType(client, 16), 1);
    const QByteArray second = wire::subPackage(nextOfType(client, 16), 1);
    ASSERT_EQ(first.size(), 251);
    ASSERT_EQ(second.size(), 251);
    EXPECT_NE(first, second);
    // Still a plausible robot: base motor temperature between 0 and 100 degrees.
    EXPECT_GT(wire::f32(second, 5 + 32), 0.0f);
    EXPECT_LT(wire::f32(second, 5 + 32), 100.0f);
}

TEST(SimulatorStream, SendTimeStampLandsInForceX) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.0.5");
    cfg.stampSendTime = true;
    sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient client;
    const int64_t before = wallMs();
    ASSERT_EQ(client.connectTo("127.31.0.5"), 0);
    const QByteArray force = wire::subPackage(nextOfType(client, 16), 7);
    const int64_t after = wallMs();
    ASSERT_EQ(force.size(), 61);
    const int64_t stamp = int64_t(wire::f64(force, 5));
    // The stamp is the send time modulo 1e6 ms, taken between connecting and receiving.
    EXPECT_LE((stamp - before % 1000000 + 1000000) % 1000000, after - before);
    EXPECT_EQ(wire::f64(force, 13), 2.0); // the other forces are untouched
}

// --- Program variables and titled messages ----------------------------------------------------

TEST(SimulatorVariables, NamesThenValuesInTheLayoutOfTheControllerVersion) {
    struct Case {
        const char *address;
        uint8_t major, minor;
        int layout;
    };
    for (const Case k :
         {Case{"127.31.1.1", 5, 12, 3}, Case{"127.31.1.2", 5, 8, 2}, Case{"127.31.1.3", 3, 2, 1}}) {
        Simulator sim;
        RobotConfig cfg = staticRobot(k.address);
        cfg.major = k.major;
        cfg.minor = k.minor;
        cfg.variablesIntervalMs = 20;
        cfg.variables = {{"count", Value::integer(-2)},
                         {"ratio", Value::real(1.5f)},
                         {"items", Value::list({Value::integer(1), Value::integer(2)})}};
        sim.addRobot(cfg);
        ASSERT_TRUE(sim.start());
        TestClient client;
        ASSERT_EQ(client.connectTo(QString::fromLatin1(k.address)), 0);
        const QByteArray names = nextOfType(client, 25);
        EXPECT_EQ(names, urenc::variableArrayMessage(0, {"count", "ratio", "items"}));
        const QByteArray values = nextOfType(client, 25);
        using namespace urenc::var;
        EXPECT_EQ(values.toHex(),
                  urenc::variablesValueMessage(
                      0, {integer(k.layout, -2), real(k.layout, 1.5f),
                          list(k.layout, {integer(k.layout, 1), integer(k.layout, 2)})})
                      .toHex())
            << "layout " << k.layout;
        // Values come again and again, so a reader that counts one series first gets them.
        EXPECT_EQ(nextOfType(client, 25), values);
    }
}

TEST(SimulatorVariables, ValuesSplitOverSeveralMessagesCarryTheirStartIndex) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.1.4");
    cfg.variablesPerMessage = 2;
    cfg.variablesIntervalMs = 20;
    cfg.variables = {{"a", Value::byte(1)}, {"b", Value::byte(2)}, {"c", Value::string("x")}};
    sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.1.4"), 0);
    EXPECT_EQ(nextOfType(client, 25), urenc::variableArrayMessage(0, {"a", "b"}));
    EXPECT_EQ(nextOfType(client, 25), urenc::variableArrayMessage(2, {"c"}));
    EXPECT_EQ(nextOfType(client, 25),
              urenc::variablesValueMessage(0, {urenc::var::byte(3, 1), urenc::var::byte(3, 2)}));
    EXPECT_EQ(nextOfType(client, 25),
              urenc::variablesValueMessage(2, {urenc::var::string(3, "x")}));
}

TEST(SimulatorMessages, TitledMessagesFollowTheVersionAndCanBeSentAtWill) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.2.1");
    cfg.titledMessages = {{"Door", "open"}};
    ursim::Robot &robot = sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.2.1"), 0);
    EXPECT_EQ(wire::u8(client.nextMessage(), 14), 3);
    EXPECT_EQ(client.nextMessage(), urenc::titledTextMessage("Door", "open"));
    robot.sendTitledMessage("Alarm", "Gripper lost part");
    bool seen = false;
    for (int i = 0; i < 1000 && !seen; ++i) {
        const QByteArray m = nextOfType(client, 20);
        ASSERT_FALSE(m.isEmpty());
        seen = m == urenc::titledTextMessage("Alarm", "Gripper lost part");
    }
    EXPECT_TRUE(seen);
}

// --- Scenarios --------------------------------------------------------------------------------

TEST(SimulatorScenario, SilentAcceptsAndSendsNothing) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.3.1");
    cfg.scenario = Scenario::silent();
    ursim::Robot &silent = sim.addRobot(cfg);
    // A talking robot as a clock: once it has sent many ticks, the silent one has had as many.
    ursim::Robot &clock = sim.addRobot(staticRobot("127.31.3.2"));
    ASSERT_TRUE(sim.start());
    TestClient client, clockClient;
    ASSERT_EQ(client.connectTo("127.31.3.1"), 0);
    ASSERT_TRUE(silent.waitForConnections(1, kDeadlineMs));
    ASSERT_EQ(clockClient.connectTo("127.31.3.2"), 0);
    ASSERT_TRUE(clock.waitForMessages(10, kDeadlineMs));
    EXPECT_EQ(silent.messagesSent(), 0);
    // Nothing came before this marker.
    silent.sendRaw("MARK");
    EXPECT_EQ(client.take(4), QByteArray("MARK"));
    EXPECT_EQ(silent.connectedClients(), 1);
}

TEST(SimulatorScenario, CloseAfterNMessagesClosesEachConnection) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.3.3");
    cfg.scenario = Scenario::closeAfter(4);
    ursim::Robot &robot = sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    for (int round = 1; round <= 2; ++round) {
        TestClient client;
        ASSERT_EQ(client.connectTo("127.31.3.3"), 0);
        ASSERT_TRUE(client.waitClosed());
        int messages = 0;
        QByteArray &bytes = client.buffered();
        for (int at = 0; at + 5 <= bytes.size(); ++messages) {
            const int len = int(wire::u32(bytes, at));
            ASSERT_GE(len, 5) << "broken framing at " << at;
            at += len;
        }
        EXPECT_EQ(messages, 4);
        EXPECT_EQ(wire::u8(bytes, 14), 3); // the first is the version message
        EXPECT_TRUE(robot.waitForConnections(round, kDeadlineMs));
        EXPECT_TRUE(robot.waitForConnectedClients(0, kDeadlineMs));
    }
}

TEST(SimulatorScenario, RefuseHasNoListener) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.3.4");
    cfg.scenario = Scenario::refuse();
    ursim::Robot &robot = sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient client;
    EXPECT_EQ(client.connectTo("127.31.3.4"), ECONNREFUSED);
    EXPECT_FALSE(robot.isListening());

    robot.setScenario(Scenario::normal());
    ASSERT_EQ(client.connectTo("127.31.3.4"), 0);
    EXPECT_EQ(type(client.nextMessage()), 20);

    // Turning to refuse drops the connection and the listener at once.
    robot.setScenario(Scenario::refuse());
    EXPECT_TRUE(client.waitClosed());
    TestClient another;
    EXPECT_EQ(another.connectTo("127.31.3.4"), ECONNREFUSED);
    EXPECT_EQ(robot.connectedClients(), 0);
}

TEST(SimulatorScenario, RawBytesArriveAsGiven) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.3.5");
    cfg.scenario = Scenario::silent();
    ursim::Robot &robot = sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient a, b;
    ASSERT_EQ(a.connectTo("127.31.3.5"), 0);
    ASSERT_EQ(b.connectTo("127.31.3.5"), 0);
    ASSERT_TRUE(robot.waitForConnectedClients(2, kDeadlineMs));
    const QByteArray raw = QByteArray::fromHex("00000000ff00ff10") + QByteArray(70000, '\x5a');
    robot.sendRaw(raw);
    EXPECT_EQ(a.take(raw.size()), raw);
    EXPECT_EQ(b.take(raw.size()), raw);
}

TEST(SimulatorScenario, ReplaySendsTheGivenBytesOnEveryTick) {
    Simulator sim;
    RobotConfig cfg = staticRobot("127.31.3.6");
    const QByteArray capture = wire::capture("eseries-5.10-three-robot-states.bin");
    ASSERT_FALSE(capture.isEmpty());
    cfg.scenario = Scenario::replay(capture);
    sim.addRobot(cfg);
    ASSERT_TRUE(sim.start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.3.6"), 0);
    EXPECT_EQ(client.take(capture.size()), capture);
    EXPECT_EQ(client.take(capture.size()), capture);
}

TEST(SimulatorScenario, SplitDeliversTheSameBytesInPieces) {
    Simulator sim;
    const RobotConfig cfg = staticRobot("127.31.3.7");
    RobotConfig splitCfg = cfg;
    splitCfg.address = QStringLiteral("127.31.3.8");
    splitCfg.scenario = Scenario::split(7, 1);
    sim.addRobot(cfg);
    sim.addRobot(splitCfg);
    ASSERT_TRUE(sim.start());
    TestClient whole, pieces;
    ASSERT_EQ(whole.connectTo("127.31.3.7"), 0);
    ASSERT_EQ(pieces.connectTo("127.31.3.8"), 0);
    for (int i = 0; i < 3; ++i) {
        const QByteArray expected = whole.nextMessage();
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_EQ(pieces.nextMessage().toHex(), expected.toHex()) << "message " << i;
    }
}

// --- Robots, start and stop -------------------------------------------------------------------

TEST(SimulatorRobots, SeveralRobotsServeTheirOwnAddresses) {
    Simulator sim;
    const char *addresses[] = {"127.31.4.1", "127.31.4.2", "127.31.4.3"};
    for (int i = 0; i < 3; ++i) {
        RobotConfig cfg = staticRobot(addresses[i]);
        cfg.projectName = "Cell" + QByteArray::number(i);
        sim.addRobot(cfg);
    }
    ASSERT_TRUE(sim.start());
    for (int i = 0; i < 3; ++i) {
        TestClient client;
        ASSERT_EQ(client.connectTo(QString::fromLatin1(addresses[i])), 0);
        const QByteArray version = client.nextMessage();
        EXPECT_EQ(version.mid(16, 5), "Cell" + QByteArray::number(i));
        EXPECT_EQ(sim.robot(i).connectionsAccepted(), 1);
    }
}

TEST(SimulatorRobots, StopRefusesAndStartServesAgain) {
    Simulator sim;
    ursim::Robot &robot = sim.addRobot(staticRobot("127.31.4.5"));
    ASSERT_TRUE(sim.start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.4.5"), 0);
    ASSERT_TRUE(robot.waitForConnectedClients(1, kDeadlineMs));
    robot.stop();
    EXPECT_TRUE(client.waitClosed());
    EXPECT_EQ(client.connectTo("127.31.4.5"), ECONNREFUSED);
    ASSERT_TRUE(robot.start());
    ASSERT_EQ(client.connectTo("127.31.4.5"), 0);
    EXPECT_EQ(type(client.nextMessage()), 20);
    EXPECT_TRUE(robot.waitForConnections(2, kDeadlineMs));
}

TEST(SimulatorRobots, DisconnectClientsKeepsListening) {
    Simulator sim;
    ursim::Robot &robot = sim.addRobot(staticRobot("127.31.4.7"));
    ASSERT_TRUE(sim.start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.4.7"), 0);
    ASSERT_TRUE(robot.waitForConnectedClients(1, kDeadlineMs));
    robot.disconnectClients();
    EXPECT_TRUE(client.waitClosed());
    ASSERT_EQ(client.connectTo("127.31.4.7"), 0);
    EXPECT_EQ(type(client.nextMessage()), 20);
}

TEST(SimulatorRobots, OnlyLoopbackAddressesAreServed) {
    Simulator sim;
    ursim::Robot &any = sim.addRobot(staticRobot("0.0.0.0"));
    ursim::Robot &lan = sim.addRobot(staticRobot("192.168.0.7"));
    ursim::Robot &good = sim.addRobot(staticRobot("127.31.4.8"));
    EXPECT_FALSE(sim.start());
    EXPECT_FALSE(any.isListening());
    EXPECT_FALSE(lan.isListening());
    EXPECT_FALSE(any.lastError().isEmpty());
    EXPECT_TRUE(good.isListening());
}

TEST(SimulatorRobots, StoppingTheSimulatorClosesEverything) {
    auto sim = std::make_unique<Simulator>();
    ursim::Robot &robot = sim->addRobot(staticRobot("127.31.4.9"));
    ASSERT_TRUE(sim->start());
    TestClient client;
    ASSERT_EQ(client.connectTo("127.31.4.9"), 0);
    ASSERT_TRUE(robot.waitForConnectedClients(1, kDeadlineMs));
    sim->stop();
    EXPECT_FALSE(sim->isRunning());
    EXPECT_TRUE(client.waitClosed());
    TestClient another;
    EXPECT_EQ(another.connectTo("127.31.4.9"), ECONNREFUSED);
    sim.reset();
}
