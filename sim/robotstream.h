// The messages one simulated controller sends: what a client gets on connecting, the
// periodic robot state, variable series and titled messages, and the animated robot.
#pragma once

#include "ursim.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace ursim {
namespace stream {

// Changing values of an animated robot, kept between ticks.
struct Animation {
    int64_t startMs = 0;     // steady clock at the robot's start
    int64_t lastTickMs = 0;  // steady clock of the last robot state
    double motionTime = 0;   // seconds of program running, drives the joint motion
    double phase = 0;        // seconds; keeps many robots from moving in lockstep
    uint64_t noise = 1;      // xorshift state
    int64_t titledCount = 0; // running count for "%1" in titled texts
    int64_t series = 0;      // variable series sent
};

int variableLayout(const RobotConfig &cfg);

QByteArray versionMessage(const RobotConfig &cfg);
// Variable array messages with all names, chunked like the value series.
QList<QByteArray> variableArrays(const RobotConfig &cfg);
// One series of variables value messages.
QList<QByteArray> variableValues(const RobotConfig &cfg);
QByteArray titledMessage(const RobotConfig &cfg, const TitledMessage &m, Animation &a);

// The robot state message for this moment; steps the animation when it is on.
QByteArray robotState(const RobotConfig &cfg, Animation &a, int64_t steadyMs);
// Moves animated variables on by one series.
void animateVariables(RobotConfig &cfg, Animation &a, int64_t steadyMs);

} // namespace stream
} // namespace ursim
