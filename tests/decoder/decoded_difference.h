// Comparison of everything the decoder writes into a record, field by field and reals bit for
// bit (NaN payloads and signed zeros count); shared by the decoder tests and the fuzz target.
#pragma once

#include "urinstance.h"

#include <cstring>
#include <string>
#include <type_traits>

namespace decoded {

template <typename T> bool same(const T &a, const T &b) {
    if constexpr (std::is_arithmetic_v<T>)
        return std::memcmp(&a, &b, sizeof a) == 0;
    else
        return a == b;
}

// The first field in which the records differ, or "" if they decoded the same.
inline std::string difference(const urinstance &a, const urinstance &b) {
// clang-format off
#define UR_SAME(field) if (!same(a.field, b.field)) return #field;
#define UR_JOINT(field) \
    if (!same(x.field, y.field)) return "joints[" + std::to_string(j) + "]." #field;
    UR_SAME(modeData.timestamp) UR_SAME(modeData.isRealRobotConnected) UR_SAME(modeData.robotMode)
    UR_SAME(modeData.isRealRobotEnabled) UR_SAME(modeData.isPowerOnRobot) UR_SAME(joints.size())
    UR_SAME(modeData.isEmergencyStopped) UR_SAME(modeData.isProtectiveStopped)
    UR_SAME(modeData.isProgramRunning) UR_SAME(modeData.isProgramPaused)
    UR_SAME(modeData.controlMode) UR_SAME(modeData.targetSpeedFraction)
    UR_SAME(modeData.speedScaling) UR_SAME(modeData.targetSpeedFractionLimit)
    UR_SAME(modeData.packageBytes) UR_SAME(modeData.arrived) UR_SAME(toolData.arrived)
    UR_SAME(masterboardData.arrived) UR_SAME(forceData.arrived)
    for (int j = 0; j < a.joints.size(); ++j) {
        const robotstate_joint &x = a.joints.at(j), &y = b.joints.at(j);
        UR_JOINT(actualPosition) UR_JOINT(targetPosition) UR_JOINT(actualVelocity)
        UR_JOINT(jointMode) UR_JOINT(actualCurrent) UR_JOINT(actualVoltage)
        UR_JOINT(motorTemperature) UR_JOINT(microTemperature) UR_JOINT(arrived)
    }
    UR_SAME(toolData.analogInputRange2) UR_SAME(toolData.analogInputRange3)
    UR_SAME(toolData.analogInput2) UR_SAME(toolData.analogInput3) UR_SAME(toolData.toolVoltage48V)
    UR_SAME(toolData.toolOutputVoltage) UR_SAME(toolData.toolCurrent) UR_SAME(toolData.toolMode)
    UR_SAME(toolData.toolTemperature) UR_SAME(masterboardData.digitalInputBits)
    UR_SAME(masterboardData.digitalOutputBits) UR_SAME(masterboardData.analogInput0)
    UR_SAME(masterboardData.analogInput1) UR_SAME(masterboardData.analogOutput0)
    UR_SAME(masterboardData.analogOutput1) UR_SAME(masterboardData.masterBoardTemperature)
    UR_SAME(masterboardData.robotVoltage48V) UR_SAME(masterboardData.robotCurrent)
    UR_SAME(masterboardData.masterIOCurrent) UR_SAME(masterboardData.safetyMode)
    UR_SAME(masterboardData.inReducedMode) UR_SAME(forceData.x) UR_SAME(forceData.y)
    UR_SAME(forceData.z) UR_SAME(forceData.rx) UR_SAME(forceData.ry) UR_SAME(forceData.rz)
    UR_SAME(forceData.robotDexterity) UR_SAME(versionMajor) UR_SAME(versionMinor)
    UR_SAME(projectName) UR_SAME(variableNames) UR_SAME(variableValues) UR_SAME(variableCounts)
    UR_SAME(variableCountTotal) UR_SAME(offeredItems) UR_SAME(pendingBytes)
    UR_SAME(alarmCode) UR_SAME(alarmArgument) UR_SAME(alarmCount)
    return {};
#undef UR_SAME
#undef UR_JOINT
    // clang-format on
}

} // namespace decoded
