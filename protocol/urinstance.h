// The per-robot record: the host's device, the connection state, and the latest values
// decoded from the controller's stream. A plain value type; readers work on copies.
#pragma once

#include "noruplugin.h"
#include "utilisation.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <chrono>
#include <cstdint>

// Milliseconds on the monotonic clock, which no change of the time of day moves. Every wait
// and every age in the plug-in is measured on it.
inline int64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Which fields of a block came with its newest sub-package: one bit per field, set by the
// decoder only when the field's bytes lay within the sub-package that arrived and the layout of
// the robot's generation has the field. A field without its bit holds 0 and has no value.
template <typename Field> struct ArrivedFields {
    uint32_t bits = 0;
    void add(Field field) { bits |= 1u << unsigned(field); }
    bool has(Field field) const { return (bits >> unsigned(field) & 1u) != 0; }
    bool operator==(const ArrivedFields &other) const { return bits == other.bits; }
};

enum class ModeField {
    timestamp,
    isRealRobotConnected,
    isRealRobotEnabled,
    isPowerOnRobot,
    isEmergencyStopped,
    isProtectiveStopped,
    isProgramRunning,
    isProgramPaused,
    robotMode,    // the mode byte, numbered as from CB3 on (0 disconnected ... 7 running)
    robotModeCb2, // the mode byte, numbered as on CB2 (0 running ... 10 safeguard stop)
    controlMode,
    targetSpeedFraction,
    speedScaling,
    targetSpeedFractionLimit,
};

struct robotstate_mode {
    uint64_t timestamp = 0; // the eight bytes as received, big-endian
    // Flag bytes keep the byte the controller sent (a 2 reads back as 2): a C++ bool
    // cannot hold that, so they are bytes.
    uint8_t isRealRobotConnected = 0;
    uint8_t isRealRobotEnabled = 0;
    uint8_t isPowerOnRobot = 0;
    uint8_t isEmergencyStopped = 0;
    uint8_t isProtectiveStopped = 0;
    uint8_t isProgramRunning = 0;
    uint8_t isProgramPaused = 0;
    // The mode byte as received; arrived tells in which generation's numbering.
    uint8_t robotMode = 0;
    uint8_t controlMode = 0;
    double targetSpeedFraction = 0; // the speed slider
    double speedScaling = 0;        // the controller's actual speed scaling
    double targetSpeedFractionLimit = 0;
    // Bytes of the sub-package that arrived (its length, cut at the end of the message).
    uint32_t packageBytes = 0;
    ArrivedFields<ModeField> arrived;
};

enum class JointField {
    actualPosition,
    targetPosition,
    actualVelocity,
    actualCurrent,
    actualVoltage,
    motorTemperature,
    microTemperature,
    jointMode,
};

struct robotstate_joint {
    double actualPosition = 0;
    double targetPosition = 0;
    double actualVelocity = 0;
    float actualCurrent = 0;
    float actualVoltage = 0;
    float motorTemperature = 0;
    float microTemperature = 0;
    uint8_t jointMode = 0;
    ArrivedFields<JointField> arrived;
};

enum class ToolField {
    analogInputRange2,
    analogInputRange3,
    analogInput2,
    analogInput3,
    toolVoltage48V,
    toolOutputVoltage,
    toolCurrent,
    toolTemperature,
    toolMode,
};

struct robotstate_tool {
    int8_t analogInputRange2 = 0;
    int8_t analogInputRange3 = 0;
    double analogInput2 = 0;
    double analogInput3 = 0;
    float toolVoltage48V = 0;
    uint8_t toolOutputVoltage = 0;
    float toolCurrent = 0;
    float toolTemperature = 0;
    uint8_t toolMode = 0;
    ArrivedFields<ToolField> arrived;
};

enum class ForceField { x, y, z, rx, ry, rz, robotDexterity };

struct robotstate_force {
    double x = 0, y = 0, z = 0, rx = 0, ry = 0, rz = 0, robotDexterity = 0;
    ArrivedFields<ForceField> arrived;
};

enum class MasterboardField {
    digitalInputBits,
    digitalOutputBits,
    analogInput0,
    analogInput1,
    analogOutput0,
    analogOutput1,
    masterBoardTemperature,
    robotVoltage48V,
    robotCurrent,
    masterIOCurrent,
    safetyMode,
    inReducedMode,
};

struct robotstate_masterboard {
    uint32_t digitalInputBits = 0; // 16 bits on CB2
    uint32_t digitalOutputBits = 0;
    double analogInput0 = 0;
    double analogInput1 = 0;
    double analogOutput0 = 0;
    double analogOutput1 = 0;
    float masterBoardTemperature = 0;
    float robotVoltage48V = 0;
    float robotCurrent = 0;
    float masterIOCurrent = 0;
    uint8_t safetyMode = 0;    // none on CB2
    uint8_t inReducedMode = 0; // none on CB2
    ArrivedFields<MasterboardField> arrived;
};

struct robotstate_ages {
    int64_t mode = 0;
    int64_t joints = 0;
    int64_t tool = 0;
    int64_t masterboard = 0;
    int64_t force = 0;
};

struct urinstance {
    DeviceInstancePlugin device{};
    QDateTime waitUntil;
    bool connected = false;
    bool dataReceived = false;
    int32_t socketFd = 0;
    int32_t errorCount = 0;
    bool initialized = false;
    int32_t messageLength = 0;
    int32_t versionMajor = 0;
    int32_t versionMinor = 0;
    QString projectName;
    QMap<int, QString> variableNames;
    QMap<QString, QString> variableValues;
    robotstate_mode modeData;
    QList<robotstate_joint> joints;
    robotstate_tool toolData;
    robotstate_force forceData;
    robotstate_masterboard masterboardData;
    QMap<int, int> variableCounts;
    int32_t variableCountTotal = 0;
    bool variablesFileLoaded = false;

    // socketFd refers to an open connection of this record; a descriptor that was closed
    // is never closed again, since its number may belong to someone else by then.
    bool socketOpen = false;
    // Bytes of the stream not yet decoded: the start of a message cut by the end of a read.
    QByteArray pendingBytes;
    // Names and titles already offered to the host as items for this record.
    QSet<QString> offeredItems;

    // Monotonic time (monotonicMs) of the newest decoded robot state; 0 before the first.
    // Values older than a few robot states are not the robot's current values.
    int64_t lastStateMs = 0;
    // Monotonic time at which an error wait ends; 0 when there is none. Waits are spans of
    // time: a step of the time of day must neither stretch nor shorten them.
    int64_t retryAtMs = 0;
    // The stream could not be framed and that was warned about; cleared by the next message
    // that decodes, so a peer that never frames warns once, not on every connection.
    bool framingWarned = false;
    // Titles of text messages kept for this record; bounded, since every title becomes a
    // host item.
    QSet<QString> titles;
    bool titleLimitLogged = false;
    // Names come in sets: a variable array message with start index 0, then ones with further
    // indexes. A set ends at the first message that is not a variable array message; only then
    // is the file brought up to date, so that it never holds part of a set, and a set that
    // matches the file (in full, its length too) is not written again.
    bool namesSetOpen = false;
    QMap<int, QString> namesBeforeSet; // variableNames when the open set began
    // The variables file holds the names of the last complete set: this record wrote or read
    // it. Cleared when a write fails, so that the next set is written whether changed or not.
    bool namesFileCurrent = false;
    // A failed write was logged; told again only after a write has succeeded.
    bool namesFileFailureLogged = false;
    // Distinct variable names this record turned into items; bounded, since every name is a
    // host item. Names beyond the bound keep their index with an empty name.
    QSet<QString> knownNames;
    bool namesLimitLogged = false;
    // Counts the changes of variableValues, so that a copy can tell whether it is behind.
    uint32_t variableValuesEdition = 0;

    // When each group of values was decoded; cleared when a new connection attempt starts,
    // so that values of an earlier connection are never taken for current ones.
    robotstate_ages decodedAtMs;
    // Alarms from robot messages (error code and safety mode messages): the newest one's
    // code and argument, and how many have arrived since the record was made.
    int32_t alarmCode = 0;
    int32_t alarmArgument = 0;
    uint32_t alarmCount = 0;
    // Time and event counters since the record was made, counted from its robot states.
    robotstate_utilisation utilisation;
};
