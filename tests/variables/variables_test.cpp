#include "simulated_robots.h"
#include "urencoder.h"

#include <QDir>
#include <QFile>

using ur_test::makeDevice;
using ur_test::readList;
using ur_test::waitFor;

namespace {

class ProgramVariables : public ur_test::SimulatedRobotsTest {
protected:
    int offered(const QString &uid) {
        int count = 0;
        for (const ItemInstancePlugin &item : host().addedItems())
            count += item.uid == uid ? 1 : 0;
        return count;
    }

    // Reads the uids until every one of them has the expected text, or the deadline passes.
    bool readsAs(int id, const QMap<QString, QString> &expected) {
        return waitFor(
            [&] {
                auto list = readList(device(id), expected.keys());
                if (!plugin()->readData(list.get()))
                    return false;
                for (const DataItem &item : list->items) {
                    if (expected.contains(item.item.uid) &&
                        item.values.value("value", "<none>") != expected.value(item.item.uid))
                        return false;
                }
                return true;
            },
            30000);
    }
};

TEST_F(ProgramVariables, NamesBecomeItemsOnceAndValuesReachTheReadCycle) {
    // 5.12 and 5.8 send different value codes; CB3 3.14 sends those of 5.9 and later.
    for (const auto &version :
         {std::make_pair(5, 12), std::make_pair(5, 8), std::make_pair(3, 14)}) {
        SCOPED_TRACE(version.first * 100 + version.second);
        const int id = version.first * 100 + version.second;
        const QString address = QStringLiteral("127.6.1.%1").arg(id % 250);
        ursim::RobotConfig config;
        config.address = address;
        config.major = uint8_t(version.first);
        config.minor = uint8_t(version.second);
        config.rateHz = 20;
        config.variablesIntervalMs = 50;
        config.variables = {
            {"counter", ursim::Value::integer(-42)},
            {"speed", ursim::Value::real(1000045.0f)}, // a tie: printf rounds it to even
            {"part", ursim::Value::string("bracket")},
            {"layers", ursim::Value::list({ursim::Value::integer(1), ursim::Value::integer(2)})}};
        config.titledMessages = {{"Pallet", "Layer 3 of 4"}};
        config.titledIntervalMs = 100;
        sim.addRobot(config);
        host().clearRecords();
        host().setDevices({makeDevice(id, address, "Robot", 1, {{"version", "0"}})});
        ASSERT_TRUE(plugin()->init());

        EXPECT_TRUE(readsAs(id, {{"counter", "-42"},
                                 {"speed", "1.00004e+06"},
                                 {"part", "bracket"},
                                 {"layers", "[1,2]"},
                                 {"Pallet", "Layer 3 of 4"}}));
        for (const char *name : {"counter", "speed", "part", "layers", "Pallet"}) {
            // Offers reach the host through the queue, which may still hold the reads' lines.
            ASSERT_TRUE(waitFor([&] { return offered(name) > 0; })) << name;
            EXPECT_EQ(offered(name), 1) << name;
            ItemInstancePlugin item{};
            ASSERT_TRUE(host().findItem(name, &item)) << name;
            EXPECT_EQ(item.name, QString(name) + " (User variable)");
            EXPECT_EQ(item.deviceId, id);
            EXPECT_EQ(item.hostInt4, 1);
            EXPECT_EQ(item.readIntervalMs, 0);
        }
        ASSERT_TRUE(plugin()->stopPlugin());
        sim.stop();
        ASSERT_TRUE(sim.start());
    }
}

TEST_F(ProgramVariables, NamesSurviveARestartInTheirFile) {
    const QString address = QStringLiteral("127.6.2.1");
    ursim::RobotConfig config;
    config.address = address;
    config.rateHz = 20;
    config.variablesIntervalMs = 50;
    config.variables = {{"alpha", ursim::Value::integer(7)}, {"beta", ursim::Value::integer(8)}};
    ursim::Robot &robot = sim.addRobot(config);
    host().setDevices({makeDevice(20, address, "Robot", 1, {{"version", "3"}})});
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(readsAs(20, {{"alpha", "7"}, {"beta", "8"}}));

    QFile file(QDir(dataDirectory.path()).filePath(address));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("0,alpha\n1,beta\n"));
    file.close();

    // After a restart the controller sends only values (its program kept running): the names
    // come from the file.
    ASSERT_TRUE(plugin()->stopPlugin());
    robot.disconnectClients();
    const QByteArray valuesOnly =
        urenc::fullRobotState({}, QList<robotstate_joint>() << robotstate_joint{}, {}, {}, {}) +
        urenc::variablesValueMessage(0, {urenc::var::integer(3, 70), urenc::var::integer(3, 80)});
    robot.setScenario(ursim::Scenario::replay(valuesOnly));
    ASSERT_TRUE(plugin()->init());
    EXPECT_TRUE(readsAs(20, {{"alpha", "70"}, {"beta", "80"}}));
}

TEST_F(ProgramVariables, TwoRobotsWithOneProgramAreToldOnce) {
    // Items are keyed by the bare name: the two robots share them, which the operator is told.
    for (const char *address : {"127.6.3.1", "127.6.3.2"}) {
        ursim::RobotConfig config;
        config.address = address;
        config.rateHz = 20;
        config.variablesIntervalMs = 50;
        config.variables = {{"counter", ursim::Value::integer(1)},
                            {"speed", ursim::Value::real(2.5f)}};
        sim.addRobot(config);
    }
    host().setDevices(
        {makeDevice(31, "127.6.3.1", "Left", 1), makeDevice(32, "127.6.3.2", "Right", 1)});
    ASSERT_TRUE(initPlugin());
    ASSERT_TRUE(readsAs(31, {{"counter", "1"}}));
    ASSERT_TRUE(readsAs(32, {{"speed", "2.5"}}));
    // The worker's lines reach the host through its queue, after the values perhaps.
    ASSERT_TRUE(host().waitForLogContaining("already turned into an item", 20000));
    const QStringList told = [&] {
        QStringList lines;
        for (const noru_standin::LogLine &line : host().logs()) {
            if (line.message.contains("already turned into an item"))
                lines << line.message;
        }
        return lines;
    }();
    ASSERT_EQ(told.size(), 1) << told.join('\n').toStdString();
    EXPECT_TRUE(told.first().contains("Left (127.6.3.1)") &&
                told.first().contains("Right (127.6.3.2)"))
        << told.first().toStdString();
}

} // namespace
