// Builds controller stream messages from values, as a controller sends them on its
// primary port: big-endian lengths that count themselves, a type byte, then the body.
// Written from the controller's byte tables for tests, the simulator and benchmarks;
// it shares no code with the decoder.
#pragma once

#include "urinstance.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

namespace urenc {

// Robot state sub-packages (each with its 4-byte length and type byte).
QByteArray robotModePackage(const robotstate_mode &mode);           // type 0, 47 bytes
QByteArray jointPackage(const QList<robotstate_joint> &joints);     // type 1, 251 bytes
QByteArray toolPackage(const robotstate_tool &tool);                // type 2, 37 bytes
QByteArray masterboardPackage(const robotstate_masterboard &board); // type 3, 75 bytes
QByteArray forcePackage(const robotstate_force &force);             // type 7, 61 bytes
// A sub-package of any type with a body of bodySize bytes of filler.
QByteArray otherPackage(uint8_t type, int bodySize, char filler = 0);

// A robot state message (type 16) holding the given sub-packages in order.
QByteArray robotStateMessage(const QList<QByteArray> &packages);

// A robot state message with all five decoded sub-packages plus a few skipped ones, in
// the order a 5.x controller sends them.
QByteArray fullRobotState(const robotstate_mode &mode, const QList<robotstate_joint> &joints,
                          const robotstate_tool &tool, const robotstate_masterboard &board,
                          const robotstate_force &force);

// Robot message (type 20), version sub-type 3: name, major, minor, bug-fix, build, date.
QByteArray versionMessage(const QByteArray &projectName, uint8_t major, uint8_t minor,
                          uint32_t bugfix = 0, uint32_t build = 0,
                          const QByteArray &buildDate = QByteArray("01-01-2024, 00:00:00"));

// Robot message (type 20) of an alarm: sub-type 6 (error code) or 5 (safety mode), the 32-bit
// code and argument, then the version-dependent rest as given (for 6 on 5.x: report level,
// data type, data and text).
QByteArray alarmMessage(uint8_t subType, int32_t code, int32_t argument,
                        const QByteArray &rest = QByteArray(9, '\0'));

// Robot message (type 20), titled text sub-type 8.
QByteArray titledTextMessage(const QByteArray &title, const QByteArray &text);

// Global message (type 25), variable array sub-type 0: names joined by LF, with a final
// LF unless finalLf is false.
QByteArray variableArrayMessage(uint16_t startIndex, const QList<QByteArray> &names,
                                bool finalLf = true);

// Global message (type 25), variables value sub-type 1: start index then the values, each
// as made by the value encoders below (top-level form, with its trailing byte).
QByteArray variablesValueMessage(uint16_t startIndex, const QList<QByteArray> &values);

// Any message: a length that counts itself, the type, the body.
QByteArray message(uint8_t type, const QByteArray &body);

// A real controller capture: the file name in the captures directory, read whole; empty if
// it cannot be read.
QByteArray capture(const QString &directory, const QString &name);

// Program variable values for the variables value message. layout is 1, 2 or 3 (value
// codes of controllers up to 3.2, 3.3 to 5.8, 5.9 and up). Each returns the top-level
// form (code, payload, one trailing byte); element() drops that trailing byte for use
// inside a list.
namespace var {
QByteArray none(int layout);
QByteArray string(int layout, const QByteArray &text);
QByteArray integer(int layout, int32_t value);
QByteArray real(int layout, float value);
QByteArray byte(int layout, uint8_t value);
QByteArray pose(int layout, const std::array<float, 6> &pose);
QByteArray list(int layout, const QList<QByteArray> &topLevelElements);
QByteArray raw(uint8_t code, const QByteArray &payload); // any code, with trailing byte
QByteArray element(const QByteArray &topLevel);
} // namespace var

} // namespace urenc
