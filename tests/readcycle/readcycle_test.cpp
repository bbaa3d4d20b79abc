#include "simulated_robots.h"
#include "urencoder.h"

#include <QElapsedTimer>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using ur_test::makeDevice;
using ur_test::readList;
using ur_test::waitFor;

namespace {

QString valueOf(const LogList &list, const QString &uid) {
    for (const DataItem &item : list.items) {
        if (item.item.uid == uid)
            return item.values.value("value", "<none>");
    }
    return "<missing>";
}

QStringList uidsOf(const LogList &list) {
    QStringList uids;
    for (const DataItem &item : list.items)
        uids << item.item.uid;
    return uids;
}

class ReadCycle : public ur_test::SimulatedRobotsTest {
protected:
    // Starts the plug-in with the devices and waits until the worker has given every device
    // its default items.
    void startWith(const QList<DeviceInstancePlugin> &devices) {
        host().setDevices(devices);
        ASSERT_TRUE(initPlugin());
        for (const DeviceInstancePlugin &device : devices) {
            ASSERT_TRUE(waitFor([&] {
                for (const DeviceInstancePlugin &d : host().devices())
                    if (d.id == device.id)
                        return d.items.size() >= 42;
                return false;
            }));
        }
    }

    // Reads until a cycle succeeds and the predicate holds for it.
    std::unique_ptr<LogList> readUntil(int id, const QStringList &uids,
                                       const std::function<bool(const LogList &)> &holds) {
        std::unique_ptr<LogList> list;
        waitFor(
            [&] {
                list = readList(device(id), uids);
                return plugin()->readData(list.get()) && holds(*list);
            },
            30000);
        return list;
    }
};

TEST_F(ReadCycle, EveryDefaultItemGetsTheTextOfTheValueSent) {
    ursim::RobotConfig config = robotAt("127.5.1.1");
    config.mode.isEmergencyStopped = 1;
    config.mode.isProgramRunning = 2; // the byte as sent, not a normalised flag
    // Ties round to even and -0 keeps its sign, as printf %g writes them.
    const float temperatures[6] = {35.5f, 1e6f, 40.25f, -2.0f, 1000045.0f, 100.0f};
    const float currents[6] = {1.25f, 1e-5f, -2.0f, 3.0f, -0.0f, 6.0f};
    for (int j = 0; j < 6; ++j) {
        config.joints[j].motorTemperature = temperatures[j];
        config.joints[j].actualCurrent = currents[j];
    }
    config.tool.analogInput2 = 1e6;
    config.tool.analogInput3 = 0.00001;
    config.tool.toolOutputVoltage = 200;
    config.tool.toolCurrent = 0.75f;
    config.tool.toolTemperature = 36.5f;
    config.masterboard.digitalInputBits = 0xFFFFFFFFu;
    config.masterboard.digitalOutputBits = 0x80000001u;
    config.masterboard.analogInput0 = 123456.7;
    config.masterboard.analogInput1 = -0.001;
    config.masterboard.analogOutput0 = 100000.5;
    config.masterboard.analogOutput1 = 4.000004;
    config.masterboard.masterBoardTemperature = 33.0f;
    config.masterboard.robotVoltage48V = 48.0f;
    config.masterboard.robotCurrent = 1.5f;
    config.masterboard.masterIOCurrent = 0.0625f;
    config.masterboard.safetyMode = 7;
    config.masterboard.inReducedMode = 1;
    config.force = {-2, 0.5, 1e-7, 1234567, 0, 99.99999, 7, {}};
    config.titledMessages = {{"base_current_4", "looked up by its whole uid"}};
    serve(config);
    startWith({makeDevice(3, "127.5.1.1", "Robot", 1)});

    const QMap<QString, QString> expected = {
        {"emergency_stopped_3", "1"},
        {"protective_stopped_3", "0"},
        {"program_running_3", "2"},
        {"program_paused_3", "0"},
        {"base_temperature_3", "35.5"},
        {"base_current_3", "1.25"},
        {"shoulder_temperature_3", "1e+06"},
        {"shoulder_current_3", "1e-05"},
        {"elbow_temperature_3", "40.25"},
        {"elbow_current_3", "-2"},
        {"wrist1_temperature_3", "-2"},
        {"wrist1_current_3", "3"},
        {"wrist2_temperature_3", "1.00004e+06"},
        {"wrist2_current_3", "-0"},
        {"wrist3_temperature_3", "100"},
        {"wrist3_current_3", "6"},
        {"tool_analog_input_2_3", "1e+06"},
        {"tool_analog_input_3_3", "1e-05"},
        {"tool_output_voltage_3", "200"},
        {"tool_current_3", "0.75"},
        {"tool_temperature_3", "36.5"},
        {"master_digital_input_bits_3", "4294967295"},
        {"master_digital_output_bits_3", "2147483649"},
        {"analog_input_0_3", "123457"},
        {"analog_input_1_3", "-0.001"},
        {"analog_output_0_3", "100000"},
        {"analog_output_1_3", "4"},
        {"master_temperature_3", "33"},
        {"master_voltage_48v_3", "48"},
        {"master_robot_current_3", "1.5"},
        {"master_io_current_3", "0.0625"},
        {"master_safety_mode_3", "7"},
        {"master_reduced_mode_3", "1"},
        {"force_x_3", "-2"},
        {"force_y_3", "0.5"},
        {"force_z_3", "1e-07"},
        {"force_rx_3", "1.23457e+06"},
        {"force_ry_3", "0"},
        {"force_rz_3", "100"},
        // Not this device's suffix: a variable or message title of that name.
        {"base_current_4", "looked up by its whole uid"},
    };
    auto list = readUntil(3, expected.keys(), [](const LogList &l) {
        return valueOf(l, "base_current_4") != "<none>";
    });
    ASSERT_TRUE(list);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_EQ(valueOf(*list, it.key()), it.value()) << it.key().toStdString();
    EXPECT_TRUE(list->errorText.isEmpty());

    // A host that logs slowly: the read waits for none of its lines, and every value is there.
    host().setLogDelay(300);
    auto slowLog = readList(device(3), expected.keys());
    QElapsedTimer reading;
    reading.start();
    ASSERT_TRUE(plugin()->readData(slowLog.get()));
    EXPECT_LT(reading.elapsed(), 6000) << "the read waited for the host line by line";
    host().setLogDelay(0);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_EQ(valueOf(*slowLog, it.key()), it.value()) << it.key().toStdString();

    // An item nobody sends keeps whatever the host had in it.
    auto again = readList(device(3), {"nobody_sends_this"});
    again->items[0].values.insert("value", "kept");
    again->items[0].values.insert("other", "kept too");
    ASSERT_TRUE(plugin()->readData(again.get()));
    EXPECT_EQ(again->items[0].values.value("value"), "kept");
    EXPECT_EQ(again->items[0].values.size(), 2);
}

TEST_F(ReadCycle, ExtraKeysOnRequestAndNothingMoreRegistered) {
    ursim::RobotConfig config = robotAt("127.5.10.1");
    config.mode.robotMode = 5; // idle
    config.mode.isPowerOnRobot = 1;
    config.mode.targetSpeedFraction = 0.5; // the encoder puts these at offsets 22 and 30
    config.mode.speedScaling = 0.25;
    for (int j = 0; j < 6; ++j)
        config.joints[j].actualPosition = -1.5 + 0.5 * j;
    ursim::Robot &robot = serve(config);
    startWith({makeDevice(3, "127.5.10.1", "Robot", 1)});
    EXPECT_EQ(device(3).items.size(), 42); // the 39 default items and identity, as before
    ASSERT_TRUE(robot.waitForConnectedClients(1, 30000));
    robot.sendRaw(urenc::alarmMessage(6, 153, 1));
    ASSERT_TRUE(readUntil(3, {"protective_stops_3"}, [](const LogList &l) {
        return valueOf(l, "protective_stops_3") == "0"; // a robot state without a stop decoded
    }));
    config.mode.isProtectiveStopped = 1; // then a stop begins on the connection
    robot.setMode(config.mode);

    const QMap<QString, QString> expected = {
        {"robot_mode_3", "5"},         {"power_on_3", "1"},          {"real_robot_3", "0"},
        {"speed_slider_3", "0.5"},     {"speed_scaling_3", "0.25"},  {"base_position_3", "-1.5"},
        {"shoulder_position_3", "-1"}, {"elbow_position_3", "-0.5"}, {"wrist1_position_3", "0"},
        {"wrist2_position_3", "0.5"},  {"wrist3_position_3", "1"},   {"last_alarm_3", "C153A1"},
        {"alarm_count_3", "1"},        {"robot_mode_4", "<none>"},   {"program_starts_3", "0"},
        {"protective_stops_3", "1"},   {"emergency_stops_3", "0"}};
    const QStringList uids = expected.keys() << "connected_seconds_3" << "powered_seconds_3";
    auto list = readUntil(3, uids, [](const LogList &l) {
        return valueOf(l, "alarm_count_3") == "1" && valueOf(l, "robot_mode_3") == "5" &&
               valueOf(l, "protective_stops_3") == "1" && valueOf(l, "connected_seconds_3") != "0";
    });
    ASSERT_TRUE(list);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_EQ(valueOf(*list, it.key()), it.value()) << it.key().toStdString();
    // Powered from its first robot state on: as long as connected, to the millisecond.
    EXPECT_EQ(valueOf(*list, "powered_seconds_3"), valueOf(*list, "connected_seconds_3"));
}

TEST_F(ReadCycle, ValuesOfAnEarlierConnectionAreNeverReported) {
    if (qEnvironmentVariableIsSet("UR_UNDER_MEMCHECK"))
        GTEST_SKIP() << "ages mean nothing at memcheck's speed";
    ursim::RobotConfig config = robotAt("127.5.11.1");
    config.joints[0].motorTemperature = 35.5f;
    ursim::Robot &robot = serve(config);
    startWith({makeDevice(6, "127.5.11.1", "Robot", 1)});
    const QStringList uids = {"base_temperature_6", "master_voltage_48v_6", "robot_mode_6",
                              "tool_current_6", "force_x_6"};
    ASSERT_TRUE(readUntil(6, uids, [](const LogList &l) {
        return valueOf(l, "base_temperature_6") == "35.5";
    }));

    // The robot comes back as a peer that sends only empty robot states.
    robot.setScenario(ursim::Scenario::replay(urenc::robotStateMessage({})));
    const int64_t accepted = robot.connectionsAccepted();
    robot.disconnectClients();
    ASSERT_TRUE(robot.waitForConnections(accepted + 1, 30000));
    int good = 0;
    QElapsedTimer reading;
    reading.start();
    // Past the 2 s that an earlier connection's values would look current, and enough reads.
    while ((reading.elapsed() < 3000 || good < 20) && reading.elapsed() < 60000) {
        auto list = readList(device(6), uids);
        if (plugin()->readData(list.get())) {
            ++good;
            for (const QString &uid : uids)
                EXPECT_EQ(valueOf(*list, uid), "<none>") << uid.toStdString();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GE(good, 20); // the connection is current: its robot states are recent
    // Its groups arrive again: their values with them.
    robot.setScenario(ursim::Scenario::normal());
    EXPECT_TRUE(readUntil(6, uids, [](const LogList &l) {
        return valueOf(l, "base_temperature_6") == "35.5";
    }));
}

TEST_F(ReadCycle, PublishesIdentityValuesInEveryCycle) {
    ursim::RobotConfig config = robotAt("127.5.2.1");
    config.projectName = "Palletiser";
    config.major = 5;
    config.minor = 11;
    serve(config);
    startWith({makeDevice(4, "127.5.2.1", "Robot", 1)});

    // Asked for one item only: the identity values are appended, in key order.
    auto list = readUntil(4, {"master_temperature_4"},
                          [](const LogList &l) { return l.items.size() == 4; });
    ASSERT_TRUE(list);
    EXPECT_EQ(uidsOf(*list), QStringList({"master_temperature_4", "identity_4_firmware",
                                          "identity_4_model", "identity_4_vendor"}));
    EXPECT_EQ(valueOf(*list, "identity_4_firmware"), "5.11");
    EXPECT_EQ(valueOf(*list, "identity_4_model"), "Palletiser");
    EXPECT_EQ(valueOf(*list, "identity_4_vendor"), "Universal Robots");

    // Already in the list: filled in place, nothing appended; the loop leaves them alone.
    auto second = readList(device(4), {"identity_4_model", "base_temperature_4"});
    ASSERT_TRUE(plugin()->readData(second.get()));
    EXPECT_EQ(uidsOf(*second), QStringList({"identity_4_model", "base_temperature_4",
                                            "identity_4_firmware", "identity_4_vendor"}));
    EXPECT_EQ(valueOf(*second, "identity_4_model"), "Palletiser");
    EXPECT_EQ(host().countLogsContaining("(UID: identity_4"), 0);
}

TEST_F(ReadCycle, BeforeTheVersionMessageNoFirmwareAndNoJointValues) {
    // A controller that has sent neither its version nor joint data yet.
    robotstate_masterboard board;
    board.robotVoltage48V = 47.5f;
    const QByteArray state = urenc::robotStateMessage(
        {urenc::robotModePackage(robotstate_mode{}), urenc::masterboardPackage(board)});
    ursim::RobotConfig config = robotAt("127.5.3.1");
    config.scenario = ursim::Scenario::replay(state);
    serve(config);
    startWith({makeDevice(5, "127.5.3.1", "Robot", 1)});

    auto list = readUntil(
        5, {"identity_5_model", "master_voltage_48v_5", "base_temperature_5", "wrist3_current_5"},
        [](const LogList &) { return true; });
    ASSERT_TRUE(list);
    EXPECT_EQ(valueOf(*list, "master_voltage_48v_5"), "47.5");
    // No reading the robot never sent.
    EXPECT_EQ(valueOf(*list, "base_temperature_5"), "<none>");
    EXPECT_EQ(valueOf(*list, "wrist3_current_5"), "<none>");
    // The model is blank: stored where asked for, never appended; no firmware at all.
    EXPECT_EQ(valueOf(*list, "identity_5_model"), "");
    EXPECT_EQ(uidsOf(*list),
              QStringList({"identity_5_model", "master_voltage_48v_5", "base_temperature_5",
                           "wrist3_current_5", "identity_5_vendor"}));
}

TEST_F(ReadCycle, CB2ValuesAtItsOwnLayoutAndNoneItDoesNotHave) {
    // A real CB2's first robot state, again and again, and no version message.
    serve(robotAt("127.25.1.1", ursim::Scenario::replay(urenc::capture(
                                    UR_VECTORS_DIR, "cb2-1.x-first-robot-state-1254.bin"))));
    startWith({makeDevice(3, "127.25.1.1", "CB2", 1)});
    // clang-format off
    const QMap<QString, QString> expected = {
        {"master_temperature_3", "30.7"}, {"master_robot_current_3", "0.773346"},
        {"shoulder_current_3", "2.02884"}, {"speed_slider_3", "1"},
        {"master_safety_mode_3", "<none>"}, {"robot_mode_3", "<none>"}};
    // clang-format on
    auto list = readUntil(3, expected.keys(), [](const LogList &l) {
        return valueOf(l, "master_temperature_3") != "<none>";
    });
    ASSERT_TRUE(list);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_EQ(valueOf(*list, it.key()), it.value()) << it.key().toStdString();
}

// A read that waits for the robot's first robot state decides on a fresh copy after every
// step, and looks at the robot again once the state has come: it may have gone with it.
TEST_F(ReadCycle, AReadWaitingForTheFirstStateDecidesOnAFreshCopy) {
    const QByteArray version = urenc::versionMessage("URControl", 5, 12);
    robotstate_mode mode;
    mode.robotMode = 7;
    const QByteArray stateThenNonsense = urenc::robotStateMessage({urenc::robotModePackage(mode)}) +
                                         QByteArray("\x7f\xff\xff\xff nonsense", 14);
    ursim::RobotConfig config = robotAt("127.26.1.1", ursim::Scenario::replay(version));
    config.mode.robotMode = 7;
    ursim::Robot &fresh = serve(config);
    config.address = "127.26.1.2";
    ursim::Robot &gone = serve(config);
    startWith({makeDevice(21, "127.26.1.1", "Fresh", 1), makeDevice(22, "127.26.1.2", "Gone", 1)});
    const struct {
        ursim::Robot &robot;
        int id;
        ursim::Scenario then; // once the read waits
        QString outcome;      // the value, or the error text
    } cases[] = {{fresh, 21, ursim::Scenario::normal(), "7"},
                 {gone, 22, ursim::Scenario::replay(stateThenNonsense), "Could not connect to robot"}};
    for (const auto &c : cases) {
        const QString uid = QStringLiteral("robot_mode_%1").arg(c.id);
        auto list = readList(device(c.id), {uid});
        auto read = std::async(std::launch::async, [&] { return plugin()->readData(list.get()); });
        ASSERT_TRUE(waitFor([&] {
            const auto beats = host().heartbeats();
            return std::any_of(beats.begin(), beats.end(), [&](auto &b) { return b.id == c.id; });
        }));
        c.robot.setScenario(c.then);
        ASSERT_EQ(read.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_EQ(read.get() ? valueOf(*list, uid) : list->errorText, c.outcome) << c.id;
    }
}

TEST_F(ReadCycle, UnconnectedRobotOrNoWorkerFailsAtOnceWithoutIdentityPublishing) {
    // Nothing listens here.
    const DeviceInstancePlugin robot = makeDevice(7, "127.5.5.1", "Robot", 30);
    auto failsAtOnce = [&] {
        auto list = readList(robot, {"base_temperature_7"});
        EXPECT_FALSE(plugin()->readData(list.get()));
        EXPECT_EQ(list->errorText, "Could not connect to robot");
        EXPECT_EQ(uidsOf(*list), QStringList({"base_temperature_7"})); // no identity appended
        EXPECT_EQ(valueOf(*list, "base_temperature_7"), "<none>");
    };
    failsAtOnce(); // before any worker
    host().setDevices({robot});
    ASSERT_TRUE(initPlugin());
    failsAtOnce();
    EXPECT_TRUE(host().waitForLog(
        [](const noru_standin::LogLine &line) {
            return line.level == "error" && line.message == "Robot not connected 127.5.5.1";
        },
        1000));
    ASSERT_TRUE(plugin()->stopPlugin());
    failsAtOnce(); // after the worker is gone
}

TEST_F(ReadCycle, SilentRobotOrStrangerReportsNoValuesAndWaitsTwentySecondsAtMost) {
    QStringList warnings;
    static QStringList *seen = &warnings;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtWarningMsg)
            seen->append(text);
    });
    ursim::RobotConfig silent = robotAt("127.5.6.1");
    silent.scenario = ursim::Scenario::silent();
    ursim::Robot &quiet = serve(silent);
    // A device on the controller port that is not a controller: a banner line now and then.
    ursim::RobotConfig stranger = robotAt("127.5.6.2");
    stranger.scenario = ursim::Scenario::replay("SSH-2.0-NotARobot\r\n");
    serve(stranger);
    host().setDevices(
        {makeDevice(8, "127.5.6.1", "Robot", 2), makeDevice(9, "127.5.6.2", "Odd", 1)});
    ASSERT_TRUE(initPlugin());

    std::atomic<bool> reading{true};
    auto strangerReads = std::async(std::launch::async, [&] {
        QStringList texts;
        while (reading.load()) {
            auto list = readList(host().devices().at(1), {"base_temperature_9"});
            texts << (plugin()->readData(list.get())
                          ? "a value: " + valueOf(*list, "base_temperature_9")
                          : list->errorText);
        }
        return texts;
    });
    // The time of day steps back an hour, then two hours forward, every few seconds: the
    // wait is 20 s of time.
    auto steps = std::async(std::launch::async, [&] {
        for (int tick = 1; reading.load(); ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (tick % 30 == 0)
                ur_test::stepTimeOfDay(tick % 60 ? -3600 : 7200);
        }
    });
    auto heartbeats = [] {
        int beats = 0;
        for (const DeviceInstancePlugin &beat : host().heartbeats())
            beats += beat.id == 8;
        return beats;
    };
    // A silent robot is connected for half a second at a time. A read that begins then waits
    // for its data; one that begins between its connections or in its error wait fails at
    // once. Reads begin at new connections until one begins while it stands.
    std::unique_ptr<LogList> list;
    QElapsedTimer timer;
    int beats = 0;
    for (int read = 0; read < 20; ++read) {
        ASSERT_TRUE(quiet.waitForConnections(quiet.connectionsAccepted() + 1, 30000));
        list = readList(host().devices().first(), {"base_temperature_8"});
        const int beatsBefore = heartbeats();
        timer.start();
        EXPECT_FALSE(plugin()->readData(list.get()));
        beats = heartbeats() - beatsBefore;
        EXPECT_LT(timer.elapsed(), 40000);
        EXPECT_EQ(valueOf(*list, "base_temperature_8"), "<none>");
        if (list->errorText != "Could not connect to robot")
            break;
    }
    EXPECT_EQ(list->errorText, "No data received from robot");
    EXPECT_GE(timer.elapsed(), 20000);
    // A heartbeat for every second of the wait.
    EXPECT_GE(beats, timer.elapsed() / 2000);
    EXPECT_LE(beats, timer.elapsed() / 1000 + 2);
    // The identity of a connected robot is published even when its data never comes.
    EXPECT_EQ(valueOf(*list, "identity_8_vendor"), "Universal Robots");

    reading.store(false);
    steps.get();
    for (const QString &text : strangerReads.get())
        EXPECT_TRUE(text == "No data received from robot" || text == "Could not connect to robot")
            << text.toStdString();
    // It was reconnected again and again, and warned about once.
    EXPECT_GE(host().countLogsContaining("Connection opened to robot 127.5.6.2"), 3);
    EXPECT_EQ(warnings.filter("Max msg size").size(), 1) << warnings.join('\n').toStdString();
    qInstallMessageHandler(nullptr);
}

TEST_F(ReadCycle, RobotUnknownToTheRunningWorkerIsGivenUpOnce) {
    serve(robotAt("127.5.7.1"));
    startWith({makeDevice(9, "127.5.7.1", "Known", 1)});

    // Configured after the worker built its list.
    host().addDevice(makeDevice(10, "127.5.7.2", "Late", 1));
    QElapsedTimer timer;
    for (int cycle = 0; cycle < 2; ++cycle) {
        auto list = readList(device(10), {"base_temperature_10"});
        timer.start();
        EXPECT_FALSE(plugin()->readData(list.get()));
        EXPECT_EQ(list->errorText, "Could not connect to robot");
        if (cycle == 0) {
            EXPECT_GE(timer.elapsed(), 20000);
        }
    }
    // Later cycles fail at once, and the log says once what to do.
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_EQ(host().countLogsContaining("127.5.7.2 is not known to the running worker. The "
                                         "plug-in must be restarted to pick it up"),
              1);
}

TEST_F(ReadCycle, ConcurrentReadsThroughReconnectsAndAStop) {
    ursim::RobotConfig closing = robotAt("127.5.9.2");
    closing.scenario = ursim::Scenario::closeAfter(5);
    serve(robotAt("127.5.9.1"));
    ursim::Robot &reconnecting = serve(closing);
    serve(robotAt("127.5.9.3"));
    startWith({makeDevice(12, "127.5.9.1", "A", 1), makeDevice(13, "127.5.9.2", "B", 1),
               makeDevice(14, "127.5.9.3", "C", 1), makeDevice(15, "127.5.9.4", "Refusing", 1)});

    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    QList<DeviceInstancePlugin> devices = host().devices();
    std::vector<std::future<void>> readers;
    for (int t = 0; t < 6; ++t) {
        const DeviceInstancePlugin target = devices.at(t % devices.size());
        readers.push_back(std::async(std::launch::async, [&, target] {
            while (!stop.load()) {
                auto list = readList(target, {QStringLiteral("base_temperature_%1").arg(target.id),
                                              QStringLiteral("force_x_%1").arg(target.id)});
                plugin()->readData(list.get());
                cycles.fetch_add(1);
            }
        }));
    }
    const int64_t connectionsBefore = reconnecting.connectionsAccepted();
    ASSERT_TRUE(reconnecting.waitForConnections(connectionsBefore + 3, 60000));
    ASSERT_TRUE(waitFor([&] { return cycles.load() >= 60; }, 60000));
    // Stop while the readers go on; they must all come back.
    ASSERT_TRUE(plugin()->stopPlugin());
    stop.store(true);
    for (auto &reader : readers)
        EXPECT_EQ(reader.wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

} // namespace
