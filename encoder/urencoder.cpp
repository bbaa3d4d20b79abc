#include "urencoder.h"

#include <QFile>

#include <cstring>

namespace urenc {
namespace {

void putU8(QByteArray &out, uint8_t v) {
    out.append(static_cast<char>(v));
}

void putU16(QByteArray &out, uint16_t v) {
    putU8(out, static_cast<uint8_t>(v >> 8));
    putU8(out, static_cast<uint8_t>(v));
}

void putU32(QByteArray &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        putU8(out, static_cast<uint8_t>(v >> shift));
}

void putU64(QByteArray &out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8)
        putU8(out, static_cast<uint8_t>(v >> shift));
}

void putDouble(QByteArray &out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU64(out, bits);
}

void putFloat(QByteArray &out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(out, bits);
}

// A sub-package or message: length (counting itself), type, body.
QByteArray framed(uint8_t type, const QByteArray &body) {
    QByteArray out;
    out.reserve(5 + body.size());
    putU32(out, static_cast<uint32_t>(5 + body.size()));
    putU8(out, type);
    out.append(body);
    return out;
}

// Robot messages carry a time stamp and a source byte before their sub-type.
QByteArray robotMessageHead(uint8_t subType) {
    QByteArray body;
    putU64(body, 0);
    putU8(body, 254); // -2: the controller itself
    putU8(body, subType);
    return body;
}

QByteArray globalMessageHead(uint8_t subType, uint16_t startIndex) {
    QByteArray body;
    putU64(body, 0);
    putU8(body, subType);
    putU16(body, startIndex);
    return body;
}

int checkedLayout(int layout) {
    return layout < 1 ? 1 : (layout > 3 ? 3 : layout);
}

uint8_t code(int layout, uint8_t l1, uint8_t l2, uint8_t l3) {
    switch (checkedLayout(layout)) {
    case 1:
        return l1;
    case 2:
        return l2;
    default:
        return l3;
    }
}

} // namespace

QByteArray robotModePackage(const robotstate_mode &mode) {
    QByteArray body;
    // The record keeps the wire bytes of the time stamp unconverted, so they go out as they are.
    char stamp[8];
    std::memcpy(stamp, &mode.timestamp, sizeof stamp);
    body.append(stamp, sizeof stamp);
    putU8(body, mode.isRealRobotConnected);
    putU8(body, mode.isRealRobotEnabled);
    putU8(body, mode.isPowerOnRobot);
    putU8(body, mode.isEmergencyStopped);
    putU8(body, mode.isProtectiveStopped);
    putU8(body, mode.isProgramRunning);
    putU8(body, mode.isProgramPaused);
    putU8(body, mode.robotMode);
    putU8(body, mode.controlMode);
    putDouble(body, mode.targetSpeedFraction);
    putDouble(body, mode.speedScaling);
    putDouble(body, mode.targetSpeedFractionLimit);
    putU8(body, 0); // reserved byte of 5.x controllers
    return framed(0, body);
}

QByteArray jointPackage(const QList<robotstate_joint> &joints) {
    QByteArray body;
    for (int j = 0; j < 6; ++j) {
        const robotstate_joint joint = j < joints.size() ? joints.at(j) : robotstate_joint{};
        putDouble(body, joint.actualPosition);
        putDouble(body, joint.targetPosition);
        putDouble(body, joint.actualVelocity);
        putFloat(body, joint.actualCurrent);
        putFloat(body, joint.actualVoltage);
        putFloat(body, joint.motorTemperature);
        putFloat(body, joint.microTemperature);
        putU8(body, joint.jointMode);
    }
    return framed(1, body);
}

QByteArray toolPackage(const robotstate_tool &tool) {
    QByteArray body;
    putU8(body, static_cast<uint8_t>(tool.analogInputRange2));
    putU8(body, static_cast<uint8_t>(tool.analogInputRange3));
    putDouble(body, tool.analogInput2);
    putDouble(body, tool.analogInput3);
    putFloat(body, tool.toolVoltage48V);
    putU8(body, tool.toolOutputVoltage);
    putFloat(body, tool.toolCurrent);
    putFloat(body, tool.toolTemperature);
    putU8(body, tool.toolMode);
    return framed(2, body);
}

QByteArray masterboardPackage(const robotstate_masterboard &board) {
    QByteArray body;
    putU32(body, board.digitalInputBits);
    putU32(body, board.digitalOutputBits);
    putU8(body, 0); // analog input range 0
    putU8(body, 0); // analog input range 1
    putDouble(body, board.analogInput0);
    putDouble(body, board.analogInput1);
    putU8(body, 0); // analog output domain 0
    putU8(body, 0); // analog output domain 1
    putDouble(body, board.analogOutput0);
    putDouble(body, board.analogOutput1);
    putFloat(body, board.masterBoardTemperature);
    putFloat(body, board.robotVoltage48V);
    putFloat(body, board.robotCurrent);
    putFloat(body, board.masterIOCurrent);
    putU8(body, board.safetyMode);
    putU8(body, board.inReducedMode);
    body.append(QByteArray(8, '\0')); // euromap, reserved and operational mode fields
    return framed(3, body);
}

QByteArray forcePackage(const robotstate_force &force) {
    QByteArray body;
    for (double v : {force.x, force.y, force.z, force.rx, force.ry, force.rz, force.robotDexterity})
        putDouble(body, v);
    return framed(7, body);
}

QByteArray otherPackage(uint8_t type, int bodySize, char filler) {
    return framed(type, QByteArray(bodySize < 0 ? 0 : bodySize, filler));
}

QByteArray robotStateMessage(const QList<QByteArray> &packages) {
    QByteArray body;
    for (const QByteArray &p : packages)
        body.append(p);
    return framed(16, body);
}

QByteArray fullRobotState(const robotstate_mode &mode, const QList<robotstate_joint> &joints,
                          const robotstate_tool &tool, const robotstate_masterboard &board,
                          const robotstate_force &force) {
    // Sizes of the skipped sub-packages as a 5.x controller sends them.
    return robotStateMessage({robotModePackage(mode), jointPackage(joints), otherPackage(4, 96),
                              masterboardPackage(board), toolPackage(tool), forcePackage(force),
                              otherPackage(8, 4)});
}

QByteArray versionMessage(const QByteArray &projectName, uint8_t major, uint8_t minor,
                          uint32_t bugfix, uint32_t build, const QByteArray &buildDate) {
    QByteArray body = robotMessageHead(3);
    const QByteArray name = projectName.left(255);
    putU8(body, static_cast<uint8_t>(name.size()));
    body.append(name);
    putU8(body, major);
    putU8(body, minor);
    putU32(body, bugfix);
    putU32(body, build);
    body.append(buildDate);
    return framed(20, body);
}

QByteArray alarmMessage(uint8_t subType, int32_t code, int32_t argument, const QByteArray &rest) {
    QByteArray body = robotMessageHead(subType);
    putU32(body, static_cast<uint32_t>(code));
    putU32(body, static_cast<uint32_t>(argument));
    body.append(rest);
    return framed(20, body);
}

QByteArray titledTextMessage(const QByteArray &title, const QByteArray &text) {
    QByteArray body = robotMessageHead(8);
    putU32(body, 0); // message code
    putU32(body, 0); // message argument
    const QByteArray t = title.left(255);
    putU8(body, static_cast<uint8_t>(t.size()));
    body.append(t);
    body.append(text);
    return framed(20, body);
}

QByteArray variableArrayMessage(uint16_t startIndex, const QList<QByteArray> &names, bool finalLf) {
    QByteArray body = globalMessageHead(0, startIndex);
    for (int i = 0; i < names.size(); ++i) {
        body.append(names.at(i));
        if (i + 1 < names.size() || finalLf)
            body.append('\n');
    }
    return framed(25, body);
}

QByteArray variablesValueMessage(uint16_t startIndex, const QList<QByteArray> &values) {
    QByteArray body = globalMessageHead(1, startIndex);
    for (const QByteArray &v : values)
        body.append(v);
    return framed(25, body);
}

QByteArray message(uint8_t type, const QByteArray &body) {
    return framed(type, body);
}

QByteArray capture(const QString &directory, const QString &name) {
    QFile file(directory + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace var {

QByteArray raw(uint8_t typeCode, const QByteArray &payload) {
    QByteArray out;
    putU8(out, typeCode);
    out.append(payload);
    putU8(out, 0);
    return out;
}

QByteArray element(const QByteArray &topLevel) {
    return topLevel.left(topLevel.size() - 1);
}

QByteArray none(int) {
    return raw(0, QByteArray());
}

QByteArray string(int, const QByteArray &text) {
    QByteArray payload;
    const QByteArray t = text.left(0xFFFF);
    putU16(payload, static_cast<uint16_t>(t.size()));
    payload.append(t);
    return raw(3, payload);
}

QByteArray integer(int layout, int32_t value) {
    QByteArray payload;
    putU32(payload, static_cast<uint32_t>(value));
    return raw(code(layout, 13, 14, 15), payload);
}

QByteArray real(int layout, float value) {
    QByteArray payload;
    putFloat(payload, value);
    return raw(code(layout, 14, 15, 16), payload);
}

QByteArray byte(int layout, uint8_t value) {
    QByteArray payload;
    putU8(payload, value);
    return raw(code(layout, 11, 12, 13), payload);
}

QByteArray pose(int layout, const std::array<float, 6> &p) {
    QByteArray payload;
    for (float v : p)
        putFloat(payload, v);
    return raw(code(layout, 9, 10, 12), payload);
}

QByteArray list(int layout, const QList<QByteArray> &topLevelElements) {
    QByteArray payload;
    putU16(payload, static_cast<uint16_t>(topLevelElements.size()));
    for (const QByteArray &e : topLevelElements)
        payload.append(element(e));
    return raw(code(layout, 4, 5, 17), payload);
}

} // namespace var
} // namespace urenc
