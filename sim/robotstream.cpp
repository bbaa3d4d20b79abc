#include "robotstream.h"

#include "variablelayout.h"

#include "urencoder.h"

#include <chrono>
#include <cmath>
#include <cstring>

namespace ursim {

// --- Values ---------------------------------------------------------------------------------

Value Value::none() {
    return Value();
}

Value Value::string(const QByteArray &text) {
    Value v;
    v.kind_ = Kind::String;
    v.bytes_ = text;
    return v;
}

Value Value::integer(int32_t i) {
    Value v;
    v.kind_ = Kind::Integer;
    v.integer_ = i;
    return v;
}

Value Value::real(float f) {
    Value v;
    v.kind_ = Kind::Real;
    v.real_ = f;
    return v;
}

Value Value::byte(uint8_t b) {
    Value v;
    v.kind_ = Kind::Byte;
    v.byte_ = b;
    return v;
}

Value Value::pose(const std::array<float, 6> &p) {
    Value v;
    v.kind_ = Kind::Pose;
    v.pose_ = p;
    return v;
}

Value Value::list(const QList<Value> &items) {
    Value v;
    v.kind_ = Kind::List;
    v.items_ = items;
    return v;
}

Value Value::raw(uint8_t code, const QByteArray &payload) {
    Value v;
    v.kind_ = Kind::Raw;
    v.byte_ = code;
    v.bytes_ = payload;
    return v;
}

QByteArray Value::encode(int layout) const {
    switch (kind_) {
    case Kind::None:
        return urenc::var::none(layout);
    case Kind::String:
        return urenc::var::string(layout, bytes_);
    case Kind::Integer:
        return urenc::var::integer(layout, integer_);
    case Kind::Real:
        return urenc::var::real(layout, real_);
    case Kind::Byte:
        return urenc::var::byte(layout, byte_);
    case Kind::Pose:
        return urenc::var::pose(layout, pose_);
    case Kind::List: {
        QList<QByteArray> elements;
        for (const Value &item : items_)
            elements << item.encode(layout);
        return urenc::var::list(layout, elements);
    }
    case Kind::Raw:
        return urenc::var::raw(byte_, bytes_);
    }
    return QByteArray();
}

QString Value::text() const {
    switch (kind_) {
    case Kind::String: {
        const int zero = bytes_.indexOf('\0');
        return QString::fromUtf8(zero < 0 ? bytes_ : bytes_.left(zero));
    }
    case Kind::Integer:
        return QString::number(integer_);
    case Kind::Real:
        return QString::asprintf("%g", double(real_));
    case Kind::Byte:
        return QString::number(byte_);
    case Kind::Pose: {
        QStringList parts;
        for (float f : pose_)
            parts << QString::number(double(f), 'f', 5);
        return QStringLiteral("p[") + parts.join(QStringLiteral(", ")) + QStringLiteral("]");
    }
    case Kind::List: {
        QStringList parts;
        for (const Value &item : items_)
            parts << item.text();
        return QStringLiteral("[") + parts.join(QLatin1Char(',')) + QStringLiteral("]");
    }
    case Kind::None:
    case Kind::Raw:
        break;
    }
    return QString();
}

int layoutForVersion(int major, int minor) {
    return variableLayoutForVersion(major, minor);
}

RobotConfig RobotConfig::realistic(const QString &address) {
    RobotConfig c;
    c.address = address;
    c.mode.isRealRobotConnected = 1;
    c.mode.isRealRobotEnabled = 1;
    c.mode.isPowerOnRobot = 1;
    c.mode.isProgramRunning = 1;
    c.mode.robotMode = 7; // running
    c.mode.targetSpeedFraction = 1.0;
    c.mode.speedScaling = 1.0;
    c.mode.targetSpeedFractionLimit = 1.0;
    const float temps[] = {28.0f, 29.5f, 30.0f, 27.0f, 26.5f, 26.0f};
    const float currents[] = {0.45f, 2.1f, 1.3f, 0.4f, 0.2f, 0.08f};
    const double positions[] = {0.0, -1.57, 1.2, -1.2, -1.57, 0.0};
    c.joints.clear();
    for (int j = 0; j < 6; ++j) {
        robotstate_joint joint;
        joint.actualPosition = positions[j];
        joint.targetPosition = positions[j];
        joint.actualCurrent = currents[j];
        joint.actualVoltage = 47.8f;
        joint.motorTemperature = temps[j];
        joint.microTemperature = temps[j] + 6.0f;
        joint.jointMode = 253; // running
        c.joints << joint;
    }
    c.tool.toolVoltage48V = 24.0f;
    c.tool.toolOutputVoltage = 24;
    c.tool.toolCurrent = 0.12f;
    c.tool.toolTemperature = 31.0f;
    c.tool.toolMode = 253;
    c.tool.analogInput2 = 0.004;
    c.masterboard.digitalInputBits = 0x5;
    c.masterboard.digitalOutputBits = 0x1;
    c.masterboard.analogInput0 = 0.6;
    c.masterboard.analogInput1 = 0.2;
    c.masterboard.analogOutput0 = 0.004;
    c.masterboard.analogOutput1 = 0.004;
    c.masterboard.masterBoardTemperature = 33.0f;
    c.masterboard.robotVoltage48V = 48.0f;
    c.masterboard.robotCurrent = 1.1f;
    c.masterboard.masterIOCurrent = 0.08f;
    c.masterboard.safetyMode = 1; // normal
    c.force.robotDexterity = 0.0003;
    c.variables = {
        {"cycle_count", Value::integer(0)},
        {"speed_factor", Value::real(0.75f)},
        {"part_name", Value::string("bracket-7")},
        {"gripper_closed", Value::byte(0)},
        {"home_pose", Value::pose({0.12f, -0.43f, 0.35f, 0.0f, 3.1416f, 0.0f})},
        {"pallet_layers", Value::list({Value::integer(4), Value::integer(3), Value::integer(0)})},
    };
    c.titledMessages = {{"Cycle", "Cycle %1 done"}, {"Pallet", "Pallet %1 of 12 filled"}};
    c.titledIntervalMs = 15000;
    c.variablesIntervalMs = 1000;
    c.animate = true;
    return c;
}

namespace stream {
namespace {

double nextNoise(Animation &a) {
    // xorshift64: cheap and good enough for jitter
    a.noise ^= a.noise << 13;
    a.noise ^= a.noise >> 7;
    a.noise ^= a.noise << 17;
    return double(a.noise >> 11) / double(uint64_t(1) << 53) - 0.5;
}

uint64_t wireOrder(uint64_t v) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
    uint64_t out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

int chunkSize(const RobotConfig &cfg) {
    return cfg.variablesPerMessage > 0 ? cfg.variablesPerMessage
                                       : std::max(1, int(cfg.variables.size()));
}

} // namespace

int variableLayout(const RobotConfig &cfg) {
    if (cfg.variableLayout >= 1 && cfg.variableLayout <= 3)
        return cfg.variableLayout;
    return layoutForVersion(cfg.major, cfg.minor);
}

QByteArray versionMessage(const RobotConfig &cfg) {
    return urenc::versionMessage(cfg.projectName, cfg.major, cfg.minor, cfg.bugfix, cfg.build,
                                 "01-01-2024, 00:00:00");
}

QList<QByteArray> variableArrays(const RobotConfig &cfg) {
    QList<QByteArray> out;
    const int chunk = chunkSize(cfg);
    for (int start = 0; start < cfg.variables.size(); start += chunk) {
        QList<QByteArray> names;
        for (int i = start; i < std::min(int(cfg.variables.size()), start + chunk); ++i)
            names << cfg.variables.at(i).name;
        out << urenc::variableArrayMessage(static_cast<uint16_t>(start), names);
    }
    return out;
}

QList<QByteArray> variableValues(const RobotConfig &cfg) {
    QList<QByteArray> out;
    const int layout = variableLayout(cfg);
    const int chunk = chunkSize(cfg);
    for (int start = 0; start < cfg.variables.size(); start += chunk) {
        QList<QByteArray> values;
        for (int i = start; i < std::min(int(cfg.variables.size()), start + chunk); ++i)
            values << cfg.variables.at(i).value.encode(layout);
        out << urenc::variablesValueMessage(static_cast<uint16_t>(start), values);
    }
    return out;
}

QByteArray titledMessage(const RobotConfig &cfg, const TitledMessage &m, Animation &a) {
    QByteArray text = m.text;
    if (cfg.animate)
        text.replace("%1", QByteArray::number(qlonglong(++a.titledCount)));
    return urenc::titledTextMessage(m.title, text);
}

QByteArray robotState(const RobotConfig &cfg, Animation &a, int64_t steadyMs) {
    robotstate_mode mode = cfg.mode;
    QList<robotstate_joint> joints = cfg.joints;
    robotstate_tool tool = cfg.tool;
    robotstate_masterboard board = cfg.masterboard;
    robotstate_force force = cfg.force;

    if (cfg.animate) {
        const double t = double(steadyMs - a.startMs) / 1000.0;
        const double dt = a.lastTickMs ? double(steadyMs - a.lastTickMs) / 1000.0 : 0.0;
        const double warm = 1.0 - std::exp(-t / 900.0);
        const double cycle = std::fmod(t + a.phase, 60.0);
        const bool estop = std::fmod(t + 3.7 * a.phase, 300.0) < 6.0 && t > 20.0;
        // Every other cycle a protective stop (a collision, say) pauses the running program
        // for 4 s, 20 s into it.
        const double twoCycles = std::fmod(t + a.phase, 120.0);
        const bool protectiveStop = !estop && twoCycles >= 80.0 && twoCycles < 84.0 && t > 20.0;
        const bool running = !estop && !protectiveStop && cycle < 45.0;
        const bool paused = !estop && (protectiveStop || (cycle >= 45.0 && cycle < 52.0));
        if (running)
            a.motionTime += dt;

        mode.timestamp = wireOrder(uint64_t(steadyMs - a.startMs) * 1000u);
        mode.isEmergencyStopped = estop ? 1 : 0;
        mode.isProtectiveStopped = protectiveStop ? 1 : 0;
        if (estop)
            mode.isPowerOnRobot = 0;
        mode.isProgramRunning = running ? 1 : 0;
        mode.isProgramPaused = paused ? 1 : 0;
        mode.robotMode = estop ? 3 : 7; // power off while stopped, else running
        mode.speedScaling = running ? 1.0 : 0.0;

        double currentSum = 0;
        for (int j = 0; j < joints.size(); ++j) {
            robotstate_joint &joint = joints[j];
            const double w = 0.5 + 0.1 * j;
            joint.actualPosition += 0.8 * std::sin(a.motionTime * w + j);
            joint.targetPosition = joint.actualPosition;
            joint.actualVelocity = running ? 0.8 * w * std::cos(a.motionTime * w + j) : 0.0;
            const double load = running ? 1.0 + 0.5 * std::sin(t * 0.9 + j) : 0.15;
            joint.actualCurrent = float(joint.actualCurrent * load + 0.03 * nextNoise(a));
            joint.actualVoltage = float(joint.actualVoltage + 0.1 * nextNoise(a));
            joint.motorTemperature =
                float(joint.motorTemperature + 9.0 * warm + 0.4 * std::sin(t / 11.0 + j));
            joint.microTemperature = float(joint.microTemperature + 6.0 * warm);
            joint.jointMode = estop ? 236 : 253; // power off : running
            currentSum += std::fabs(joint.actualCurrent);
        }

        tool.toolTemperature = float(tool.toolTemperature + 3.0 * warm + 0.2 * std::sin(t / 13.0));
        tool.toolCurrent = float(tool.toolCurrent * (running ? 1.0 : 0.5) + 0.01 * nextNoise(a));

        board.masterBoardTemperature =
            float(board.masterBoardTemperature + 5.0 * warm + 0.3 * std::sin(t / 17.0));
        board.robotVoltage48V = float(board.robotVoltage48V + 0.2 * nextNoise(a));
        board.robotCurrent = float(0.3 * currentSum + 0.5 + 0.05 * nextNoise(a));
        board.masterIOCurrent = float(board.masterIOCurrent + 0.01 * nextNoise(a));
        board.analogInput0 += 0.01 * nextNoise(a);
        if (estop)
            board.safetyMode = 7; // robot emergency stop
        else if (protectiveStop)
            board.safetyMode = 3;

        if (running) {
            force.x += 2.0 * std::sin(t * 1.7);
            force.y += 1.5 * std::cos(t * 1.3);
            force.z += -9.0 + 0.5 * nextNoise(a);
        }
        a.lastTickMs = steadyMs;
    }

    if (cfg.stampSendTime) {
        const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        force.x = double(ms % 1000000);
    }
    return urenc::fullRobotState(mode, joints, tool, board, force);
}

void animateVariables(RobotConfig &cfg, Animation &a, int64_t steadyMs) {
    ++a.series;
    if (!cfg.animate)
        return;
    const double t = double(steadyMs - a.startMs) / 1000.0;
    for (Variable &v : cfg.variables) {
        if (v.value.kind() == Value::Kind::Integer)
            v.value.setInteger(v.value.integerValue() + 1);
        else if (v.value.kind() == Value::Kind::Real)
            v.value.setReal(float(0.5 + 0.25 * std::sin(t / 5.0)));
    }
}

} // namespace stream
} // namespace ursim
