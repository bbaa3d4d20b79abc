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

// Reads the fields of one sub-package into its block: a field is read, and marked as arrived,
// only when its bytes lie within the sub-package; one that does not keeps its zero and gets no
// value, whatever the bytes after the sub-package hold.
template <typename Field> class FieldReader {
public:
    FieldReader(ByteView package, ArrivedFields<Field> *arrived) : p_(package), arrived_(arrived) {}

    bool holds(Field field, size_t offset, size_t size) {
        if (offset + size > p_.size)
            return false;
        arrived_->add(field);
        return true;
    }
    void u8(Field f, size_t offset, uint8_t *out) {
        if (holds(f, offset, 1))
            *out = p_.u8(offset);
    }
    void s8(Field f, size_t offset, int8_t *out) {
        if (holds(f, offset, 1))
            *out = static_cast<int8_t>(p_.u8(offset));
    }
    void be16(Field f, size_t offset, uint32_t *out) {
        if (holds(f, offset, 2))
            *out = p_.be16(offset);
    }
    void be32(Field f, size_t offset, uint32_t *out) {
        if (holds(f, offset, 4))
            *out = p_.be32(offset);
    }
    void f32(Field f, size_t offset, float *out) {
        if (holds(f, offset, 4))
            *out = p_.f32(offset);
    }
    void f64(Field f, size_t offset, double *out) {
        if (holds(f, offset, 8))
            *out = p_.f64(offset);
    }

private:
    ByteView p_;
    ArrivedFields<Field> *arrived_;
};

// The layout of a sub-package follows from its own length, in every message: the version
// message comes once per connection, if at all. A CB2 (software 1.x) sends robot mode data of
// 29 bytes and master board data of 64, or 76 with its Euromap 67 block; every other length
// is read at the layout of the later controllers, which only ever added fields at the end.
constexpr uint32_t cb2RobotModeBytes = 29;
constexpr uint32_t cb2MasterboardBytes = 64;
constexpr uint32_t cb2EuromapBlockBytes = 12;
constexpr size_t cb2EuromapFlag = 63;

uint32_t declaredLength(ByteView package) {
    return package.be32(0);
}

bool isCb2Masterboard(ByteView p) {
    const uint32_t length = declaredLength(p);
    return length == cb2MasterboardBytes ||
           (length == cb2MasterboardBytes + cb2EuromapBlockBytes && p.u8(cb2EuromapFlag) != 0);
}

robotstate_mode decodeRobotMode(ByteView p) {
    using F = ModeField;
    robotstate_mode mode;
    FieldReader<F> r(p, &mode.arrived);
    if (r.holds(F::timestamp, 5, sizeof mode.timestamp))
        p.copy(5, &mode.timestamp, sizeof mode.timestamp); // wire order, on purpose
    r.u8(F::isRealRobotConnected, 13, &mode.isRealRobotConnected);
    r.u8(F::isRealRobotEnabled, 14, &mode.isRealRobotEnabled);
    r.u8(F::isPowerOnRobot, 15, &mode.isPowerOnRobot);
    r.u8(F::isEmergencyStopped, 16, &mode.isEmergencyStopped);
    r.u8(F::isProtectiveStopped, 17, &mode.isProtectiveStopped);
    r.u8(F::isProgramRunning, 18, &mode.isProgramRunning);
    r.u8(F::isProgramPaused, 19, &mode.isProgramPaused);
    mode.packageBytes = uint32_t(p.size);
    if (declaredLength(p) == cb2RobotModeBytes) {
        // CB2 numbers its modes otherwise, has no control mode and sends the speed slider
        // alone, right after the mode byte.
        r.u8(F::robotModeCb2, 20, &mode.robotMode);
        r.f64(F::targetSpeedFraction, 21, &mode.targetSpeedFraction);
        return mode;
    }
    r.u8(F::robotMode, 20, &mode.robotMode);
    r.u8(F::controlMode, 21, &mode.controlMode);
    r.f64(F::targetSpeedFraction, 22, &mode.targetSpeedFraction);
    r.f64(F::speedScaling, 30, &mode.speedScaling);
    r.f64(F::targetSpeedFractionLimit, 38, &mode.targetSpeedFractionLimit);
    return mode;
}

robotstate_joint decodeJoint(ByteView j) {
    using F = JointField;
    robotstate_joint joint;
    FieldReader<F> r(j, &joint.arrived);
    r.f64(F::actualPosition, 0, &joint.actualPosition);
    r.f64(F::targetPosition, 8, &joint.targetPosition);
    r.f64(F::actualVelocity, 16, &joint.actualVelocity);
    r.f32(F::actualCurrent, 24, &joint.actualCurrent);
    r.f32(F::actualVoltage, 28, &joint.actualVoltage);
    r.f32(F::motorTemperature, 32, &joint.motorTemperature);
    r.f32(F::microTemperature, 36, &joint.microTemperature);
    r.u8(F::jointMode, 40, &joint.jointMode);
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
    using F = ToolField;
    robotstate_tool tool;
    FieldReader<F> r(p, &tool.arrived);
    r.s8(F::analogInputRange2, 5, &tool.analogInputRange2);
    r.s8(F::analogInputRange3, 6, &tool.analogInputRange3);
    r.f64(F::analogInput2, 7, &tool.analogInput2);
    r.f64(F::analogInput3, 15, &tool.analogInput3);
    r.f32(F::toolVoltage48V, 23, &tool.toolVoltage48V);
    r.u8(F::toolOutputVoltage, 27, &tool.toolOutputVoltage);
    r.f32(F::toolCurrent, 28, &tool.toolCurrent);
    r.f32(F::toolTemperature, 32, &tool.toolTemperature);
    r.u8(F::toolMode, 36, &tool.toolMode);
    return tool;
}

// Nothing read lies after the Euromap 67 flag (67 on later controllers, 63 on CB2): the
// block that follows a set flag moves only fields that are not read.
robotstate_masterboard decodeMasterboard(ByteView p) {
    using F = MasterboardField;
    robotstate_masterboard board;
    FieldReader<F> r(p, &board.arrived);
    if (isCb2Masterboard(p)) {
        // 16-bit digital bits: everything after them sits 4 bytes earlier. Bytes 61 and 62
        // are a master safety state and an on/off state, not a safety mode and reduced mode.
        r.be16(F::digitalInputBits, 5, &board.digitalInputBits);
        r.be16(F::digitalOutputBits, 7, &board.digitalOutputBits);
        r.f64(F::analogInput0, 11, &board.analogInput0);
        r.f64(F::analogInput1, 19, &board.analogInput1);
        r.f64(F::analogOutput0, 29, &board.analogOutput0);
        r.f64(F::analogOutput1, 37, &board.analogOutput1);
        r.f32(F::masterBoardTemperature, 45, &board.masterBoardTemperature);
        r.f32(F::robotVoltage48V, 49, &board.robotVoltage48V);
        r.f32(F::robotCurrent, 53, &board.robotCurrent);
        r.f32(F::masterIOCurrent, 57, &board.masterIOCurrent);
        return board;
    }
    r.be32(F::digitalInputBits, 5, &board.digitalInputBits);
    r.be32(F::digitalOutputBits, 9, &board.digitalOutputBits);
    r.f64(F::analogInput0, 15, &board.analogInput0);
    r.f64(F::analogInput1, 23, &board.analogInput1);
    r.f64(F::analogOutput0, 33, &board.analogOutput0);
    r.f64(F::analogOutput1, 41, &board.analogOutput1);
    r.f32(F::masterBoardTemperature, 49, &board.masterBoardTemperature);
    r.f32(F::robotVoltage48V, 53, &board.robotVoltage48V);
    r.f32(F::robotCurrent, 57, &board.robotCurrent);
    r.f32(F::masterIOCurrent, 61, &board.masterIOCurrent);
    r.u8(F::safetyMode, 65, &board.safetyMode);
    r.u8(F::inReducedMode, 66, &board.inReducedMode);
    return board;
}

robotstate_force decodeForce(ByteView p) {
    using F = ForceField;
    robotstate_force force;
    FieldReader<F> r(p, &force.arrived);
    r.f64(F::x, 5, &force.x);
    r.f64(F::y, 13, &force.y);
    r.f64(F::z, 21, &force.z);
    r.f64(F::rx, 29, &force.rx);
    r.f64(F::ry, 37, &force.ry);
    r.f64(F::rz, 45, &force.rz);
    r.f64(F::robotDexterity, 53, &force.robotDexterity);
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
