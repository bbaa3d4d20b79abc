#include "urwrapper.h"

#include "hostgateway.h"
#include "urdecoder.h"

#include <QtGlobal>

#include <algorithm>

namespace {

constexpr uint32_t minMessageLength = 5; // length field and type byte
constexpr uint32_t firstReserve = 64 * 1024;

enum MessageType : uint8_t {
    robotStateType = 16,
    robotMessageType = 20,
    globalMessageType = 25,
};

enum RobotMessageType : uint8_t {
    versionMessage = 3,
    safetyModeMessage = 5,
    errorCodeMessage = 6,
    titledTextMessage = 8,
};

// Both alarm sub-types start with a 32-bit signed code and argument; what follows differs
// between controller versions and is not read.
constexpr size_t alarmCodeOffset = 15;
constexpr size_t alarmArgumentOffset = 19;
constexpr size_t alarmEnd = alarmArgumentOffset + 4;

enum PackageType : uint8_t {
    robotModePackage = 0,
    jointPackage = 1,
    toolPackage = 2,
    masterboardPackage = 3,
    forcePackage = 7,
    endOfPackages = 255,
};

constexpr size_t jointSize = 41;
constexpr int jointCount = 6;

// A length the stream cannot hold means we are out of step with it: nothing kept can be
// trusted. Warned once until a message decodes again, so that a peer that never frames
// does not flood the warning stream on every connection.
bool faultyLength(uint32_t length, urinstance *robot) {
    if (length >= minMessageLength && length <= URWrapper::maxMessageLength)
        return false;
    if (!robot->framingWarned) {
        robot->framingWarned = true;
        if (length == 0)
            qWarning("Faulty message read! Length: 0????");
        else if (length < minMessageLength)
            qWarning("Faulty message read! Length: %u", length);
        else
            qWarning() << "Max msg size. Robot:" << robot->device.address;
    }
    return true;
}

// Decodes one whole message and counts it.
void decodeOne(ByteView message, uint32_t length, urinstance *robot, DecodeResult *result) {
    robot->messageLength = int32_t(length);
    const uint8_t type = message.u8(4);
    urdecode::message(message, robot);
    if (type == robotStateType || type == robotMessageType || type == globalMessageType) {
        robot->framingWarned = false;
        ++result->messages;
        result->robotStates += type == robotStateType;
    }
}

robotstate_mode decodeRobotMode(ByteView p) {
    robotstate_mode mode;
    p.copy(5, &mode.timestamp, sizeof mode.timestamp); // wire order, on purpose
    mode.isRealRobotConnected = p.u8(13);
    mode.isRealRobotEnabled = p.u8(14);
    mode.isPowerOnRobot = p.u8(15);
    mode.isEmergencyStopped = p.u8(16);
    mode.isProtectiveStopped = p.u8(17);
    mode.isProgramRunning = p.u8(18);
    mode.isProgramPaused = p.u8(19);
    mode.robotMode = p.u8(20);
    mode.controlMode = p.u8(21);
    mode.targetSpeedFraction = p.f64(22);
    mode.speedScaling = p.f64(30);
    mode.targetSpeedFractionLimit = p.f64(38);
    mode.speedSlider = p.f64(22);
    mode.actualSpeedScaling = p.f64(30);
    mode.packageBytes = uint32_t(p.size);
    return mode;
}

robotstate_joint decodeJoint(ByteView j) {
    robotstate_joint joint;
    joint.actualPosition = j.f64(0);
    joint.targetPosition = j.f64(8);
    joint.actualVelocity = j.f64(16);
    joint.actualCurrent = j.f32(24);
    joint.actualVoltage = j.f32(28);
    joint.motorTemperature = j.f32(32);
    joint.microTemperature = j.f32(36);
    joint.jointMode = j.u8(40);
    return joint;
}

void decodeJoints(ByteView p, QList<robotstate_joint> *joints) {
    // Steady state: overwrite the six entries in place instead of rebuilding the list;
    // the result is the same, without allocating nodes for every message.
    if (joints->size() == jointCount) {
        for (int j = 0; j < jointCount; ++j)
            (*joints)[j] = decodeJoint(p.sub(5 + jointSize * size_t(j), jointSize));
        return;
    }
    QList<robotstate_joint> fresh;
    fresh.reserve(jointCount);
    for (int j = 0; j < jointCount; ++j)
        fresh.append(decodeJoint(p.sub(5 + jointSize * size_t(j), jointSize)));
    *joints = std::move(fresh);
}

robotstate_tool decodeTool(ByteView p) {
    robotstate_tool tool;
    tool.analogInputRange2 = static_cast<int8_t>(p.u8(5));
    tool.analogInputRange3 = static_cast<int8_t>(p.u8(6));
    tool.analogInput2 = p.f64(7);
    tool.analogInput3 = p.f64(15);
    tool.toolVoltage48V = p.f32(23);
    tool.toolOutputVoltage = p.u8(27);
    tool.toolCurrent = p.f32(28);
    tool.toolTemperature = p.f32(32);
    tool.toolMode = p.u8(36);
    return tool;
}

robotstate_masterboard decodeMasterboard(ByteView p) {
    robotstate_masterboard board;
    board.digitalInputBits = p.be32(5);
    board.digitalOutputBits = p.be32(9);
    board.analogInput0 = p.f64(15);
    board.analogInput1 = p.f64(23);
    board.analogOutput0 = p.f64(33);
    board.analogOutput1 = p.f64(41);
    board.masterBoardTemperature = p.f32(49);
    board.robotVoltage48V = p.f32(53);
    board.robotCurrent = p.f32(57);
    board.masterIOCurrent = p.f32(61);
    board.safetyMode = p.u8(65);
    board.inReducedMode = p.u8(66);
    return board;
}

robotstate_force decodeForce(ByteView p) {
    robotstate_force force;
    force.x = p.f64(5);
    force.y = p.f64(13);
    force.z = p.f64(21);
    force.rx = p.f64(29);
    force.ry = p.f64(37);
    force.rz = p.f64(45);
    force.robotDexterity = p.f64(53);
    return force;
}

} // namespace

namespace urdecode {

void message(ByteView message, urinstance *robot) {
    if (robot->namesSetOpen && !(message.u8(4) == globalMessageType && message.u8(13) == 0))
        endNamesSet(robot);
    switch (message.u8(4)) {
    case robotStateType: {
        unsigned int cursor = minMessageLength;
        robotState(message, robot, &cursor);
        break;
    }
    case robotMessageType:
        robotMessage(message, robot);
        break;
    case globalMessageType:
        globalMessage(message, robot);
        break;
    default:
        break;
    }
}

void robotState(ByteView message, urinstance *robot, unsigned int *cursor) {
    const size_t end = std::min<size_t>(static_cast<uint32_t>(robot->messageLength), message.size);
    int64_t nowMs = 0; // read once per message, when a group is decoded
    const auto decodedAt = [&nowMs] { return nowMs ? nowMs : (nowMs = monotonicMs()); };
    while (*cursor < end) {
        const int32_t length = static_cast<int32_t>(message.be32(*cursor));
        // Fields past the sub-package's own length read as 0 even if the message goes on.
        const ByteView package =
            message.sub(*cursor, std::min<size_t>(end - *cursor, std::max(length, 0)));
        const uint8_t type = package.u8(4);
        // A length that cannot even hold the header (0 and -1 included) would not move
        // the cursor forward; the rest of the message cannot be framed.
        if (length < int32_t(minMessageLength) || type == endOfPackages)
            return;
        switch (type) {
        case robotModePackage:
            robot->modeData = decodeRobotMode(package);
            robot->decodedAtMs.mode = decodedAt();
            utilisation::count(&robot->utilisation, package, robot->decodedAtMs.mode);
            break;
        case jointPackage:
            decodeJoints(package, &robot->joints);
            robot->jointPackageBytes = uint32_t(package.size);
            robot->decodedAtMs.joints = decodedAt();
            break;
        case toolPackage:
            robot->toolData = decodeTool(package);
            robot->decodedAtMs.tool = decodedAt();
            break;
        case masterboardPackage:
            robot->masterboardData = decodeMasterboard(package);
            robot->decodedAtMs.masterboard = decodedAt();
            break;
        case forcePackage:
            robot->forceData = decodeForce(package);
            robot->decodedAtMs.force = decodedAt();
            break;
        default:
            break;
        }
        // Cannot wrap: cursor < end <= INT_MAX and 5 <= length <= INT_MAX.
        *cursor += static_cast<uint32_t>(length);
    }
}

void robotMessage(ByteView message, urinstance *robot) {
    switch (message.u8(14)) {
    case versionMessage: {
        const size_t nameLength = message.u8(15);
        robot->projectName = message.text(16, nameLength);
        robot->versionMajor = message.u8(16 + nameLength);
        robot->versionMinor = message.u8(17 + nameLength);
        HostGateway::logDebug(QStringLiteral("UR Version. Robot: ") + robot->device.address +
                              QStringLiteral(" UR Version: ") +
                              QString::number(robot->versionMajor, 10) + QStringLiteral(".") +
                              QString::number(robot->versionMinor, 10));
        break;
    }
    case safetyModeMessage:
    case errorCodeMessage:
        // A message too short to hold both fields carries no alarm that could be told.
        if (message.size < alarmEnd)
            break;
        robot->alarmCode = static_cast<int32_t>(message.be32(alarmCodeOffset));
        robot->alarmArgument = static_cast<int32_t>(message.be32(alarmArgumentOffset));
        ++robot->alarmCount;
        break;
    case titledTextMessage: {
        const size_t titleLength = message.u8(23);
        const QString title = message.text(24, titleLength);
        const QString text = message.text(24 + titleLength);
        if (!robot->titles.contains(title)) {
            // A title that carries a counter or a part number would add host items (rows
            // of the host's database) without end.
            if (robot->titles.size() >= URWrapper::maxTitles) {
                if (!robot->titleLimitLogged) {
                    robot->titleLimitLogged = true;
                    HostGateway::logError(
                        QStringLiteral("Robot ") + robot->device.address +
                        QStringLiteral(" sent more than ") + QString::number(URWrapper::maxTitles) +
                        QStringLiteral(" message titles: new titles are not turned into items; "
                                       "the known ones keep their values"));
                }
                break;
            }
            robot->titles.insert(title);
        }
        if (!robot->variableValues.contains(title))
            URWrapper().addItemToRobot(robot, title);
        robot->variableValues.insert(title, text);
        ++robot->variableValuesEdition;
        break;
    }
    default:
        break;
    }
}

QString poseText(ByteView bytes) {
    QString text = QStringLiteral("p[");
    for (int i = 0; i < 6; ++i) {
        if (i > 0)
            text += QStringLiteral(", ");
        text += QString::number(double(bytes.f32(4 * size_t(i))), 'f', 5);
    }
    text += QLatin1Char(']');
    return text;
}

} // namespace urdecode

void URWrapper::wrapMessage(urinstance *robot, QByteArray bytes) {
    decode(robot, bytes.constData(), size_t(bytes.size()));
}

DecodeResult URWrapper::decode(urinstance *robot, const char *bytes, size_t size) {
    DecodeResult result;
    if (robot->variableNames.isEmpty() && !robot->variablesFileLoaded)
        getLastUsedRobotVariables(robot);

    const ByteView read(bytes, size);
    size_t p = 0;
    auto lose = [&] {
        robot->pendingBytes.clear();
        result.streamLost = true;
        return result;
    };

    // First finish the message that the previous read cut short.
    QByteArray &pending = robot->pendingBytes;
    if (!pending.isEmpty()) {
        if (pending.size() < 4) {
            const size_t take = std::min<size_t>(4 - size_t(pending.size()), read.size);
            pending.append(bytes, int(take));
            p = take;
            if (pending.size() < 4)
                return result;
        }
        const uint32_t length = ByteView(pending).be32(0);
        if (faultyLength(length, robot))
            return lose();
        // The kept bytes never hold more than one unfinished message; should they, the
        // surplus is dropped rather than grown without end.
        const size_t kept = std::min<size_t>(size_t(pending.size()), length);
        const size_t missing = length - kept;
        const size_t take = std::min(missing, read.size - p);
        pending.reserve(int(std::min(length, firstReserve)));
        pending.append(bytes + p, int(take));
        p += take;
        if (take < missing)
            return result;
        decodeOne(ByteView(pending).sub(0, length), length, robot, &result);
        // The room is kept for the next cut message, unless an unusual one made it large.
        if (pending.capacity() > int(firstReserve))
            pending = QByteArray();
        else
            pending.resize(0);
    }

    // Whole messages straight from the read; only an unfinished last one is kept.
    while (p < read.size) {
        const size_t rest = read.size - p;
        if (rest < 4) {
            pending.append(bytes + p, int(rest));
            return result;
        }
        const uint32_t length = read.be32(p);
        if (faultyLength(length, robot))
            return lose();
        if (length > rest) {
            // Room for a whole message of the usual size; a length field alone is no reason to
            // allocate a megabyte before the bytes come.
            pending.reserve(int(std::min(length, firstReserve)));
            pending.append(bytes + p, int(rest));
            return result;
        }
        decodeOne(read.sub(p, length), length, robot, &result);
        p += length;
    }
    return result;
}
