// End-to-end fixture with simulated controllers: the plug-in loaded as the host loads it
// (PluginTest) and a simulator serving robots on loopback for the test's duration.
// Link `ur_sim` besides `ur_test_support`.
#pragma once

#include "ur_test_support.h"
#include "ursim.h"

namespace ur_test {

class SimulatedRobotsTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_TRUE(sim.start());
    }
    void TearDown() override {
        PluginTest::TearDown();
        sim.stop();
    }

    // A simulated robot sending 20 states a second.
    static ursim::RobotConfig robotAt(const QString &address,
                                      const ursim::Scenario &scenario = {}) {
        ursim::RobotConfig config;
        config.address = address;
        config.scenario = scenario;
        config.rateHz = 20;
        return config;
    }
    ursim::Robot &serve(const ursim::RobotConfig &config) {
        ursim::Robot &robot = sim.addRobot(config);
        EXPECT_TRUE(config.scenario.kind == ursim::Scenario::Kind::Refuse || robot.isListening())
            << robot.lastError().toStdString();
        return robot;
    }
    ursim::Robot &serve(const QString &address, const ursim::Scenario &scenario = {}) {
        return serve(robotAt(address, scenario));
    }

    // The host's current record of the device, with the items it has now.
    static DeviceInstancePlugin device(int id) {
        for (const DeviceInstancePlugin &d : host().devices()) {
            if (d.id == id)
                return d;
        }
        return {};
    }

    ursim::Simulator sim;
};

} // namespace ur_test
