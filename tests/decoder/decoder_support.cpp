#include "decoder_support.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <cstring>

namespace dectest {

namespace {

QMutex warningMutex;
QStringList *warningLines = nullptr;
QtMessageHandler previousHandler = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    {
        QMutexLocker lock(&warningMutex);
        if (type == QtWarningMsg && warningLines) {
            warningLines->append(message);
            return;
        }
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

#define UR_SAME(field)                                                                             \
    if (!sameValue(a.field, b.field))                                                              \
        return ::testing::AssertionFailure()                                                       \
               << #field << " differs: " << +a.field << " vs " << +b.field;

bool sameValue(double a, double b) {
    return sameBits(a, b);
}
bool sameValue(float a, float b) {
    return sameBits(a, b);
}
template <typename T> bool sameValue(T a, T b) {
    return a == b;
}

} // namespace

WarningCapture::WarningCapture() {
    QMutexLocker lock(&warningMutex);
    warningLines = new QStringList;
    previousHandler = qInstallMessageHandler(captureWarnings);
}

WarningCapture::~WarningCapture() {
    qInstallMessageHandler(previousHandler);
    QMutexLocker lock(&warningMutex);
    delete warningLines;
    warningLines = nullptr;
}

QStringList WarningCapture::lines() const {
    QMutexLocker lock(&warningMutex);
    return *warningLines;
}

void WarningCapture::clear() {
    QMutexLocker lock(&warningMutex);
    warningLines->clear();
}

void DecoderTest::SetUp() {
    ASSERT_TRUE(dataDir.isValid());
    host().reset();
    host().clearRecords();
    host().setDataDirectory(dataDir.path());
}

urinstance DecoderTest::robotAt(const QString &address, bool withFileLoad) const {
    urinstance robot;
    robot.device = DeviceInstancePlugin{};
    robot.device.id = 3;
    robot.device.name = QStringLiteral("Robot 3");
    robot.device.address = address;
    robot.variablesFileLoaded = !withFileLoad;
    return robot;
}

QStringList DecoderTest::logs(const QString &level) {
    QStringList lines;
    for (const noru_standin::LogLine &line : host().logs()) {
        if (line.level == level)
            lines.append(line.message);
    }
    return lines;
}

QStringList DecoderTest::addedUids() {
    QStringList uids;
    for (const ItemInstancePlugin &item : host().addedItems())
        uids.append(item.uid);
    return uids;
}

robotstate_mode sampleMode(int seed) {
    const int s = seed * 20;
    robotstate_mode mode;
    const unsigned char stamp[8] = {0x01, 0x02, 0x03, 0x04,
                                    0x05, 0x06, 0x07, static_cast<unsigned char>(0x08 + seed)};
    std::memcpy(&mode.timestamp, stamp, sizeof stamp);
    mode.isRealRobotConnected = uint8_t(11 + s);
    mode.isRealRobotEnabled = uint8_t(12 + s);
    mode.isPowerOnRobot = uint8_t(13 + s);
    mode.isEmergencyStopped = uint8_t(14 + s);
    mode.isProtectiveStopped = uint8_t(15 + s);
    mode.isProgramRunning = uint8_t(16 + s);
    mode.isProgramPaused = uint8_t(17 + s);
    mode.robotMode = uint8_t(18 + s);
    mode.controlMode = uint8_t(19 + s);
    mode.targetSpeedFraction = 0.25 + s;
    mode.speedScaling = 0.5 + s;
    mode.targetSpeedFractionLimit = 0.75 + s;
    return mode;
}

QList<robotstate_joint> sampleJoints(int seed) {
    QList<robotstate_joint> joints;
    for (int j = 0; j < 6; ++j) {
        const double base = 1000.0 * seed + 10.0 * j;
        robotstate_joint joint;
        joint.actualPosition = base + 1.5;
        joint.targetPosition = base + 2.5;
        joint.actualVelocity = base + 3.5;
        joint.actualCurrent = float(base + 4.25);
        joint.actualVoltage = float(base + 5.25);
        joint.motorTemperature = float(base + 6.25);
        joint.microTemperature = float(base + 7.25);
        joint.jointMode = uint8_t(200 + 6 * seed + j);
        joints.append(joint);
    }
    return joints;
}

robotstate_tool sampleTool(int seed) {
    robotstate_tool tool;
    tool.analogInputRange2 = int8_t(-3 - seed);
    tool.analogInputRange3 = int8_t(4 + seed);
    tool.analogInput2 = 21.5 + seed;
    tool.analogInput3 = 22.5 + seed;
    tool.toolVoltage48V = float(23.25 + seed);
    tool.toolOutputVoltage = uint8_t(24 + seed);
    tool.toolCurrent = float(25.25 + seed);
    tool.toolTemperature = float(26.25 + seed);
    tool.toolMode = uint8_t(27 + seed);
    return tool;
}

robotstate_masterboard sampleBoard(int seed) {
    robotstate_masterboard board;
    board.digitalInputBits = 0x80010203u + uint32_t(seed);
    board.digitalOutputBits = 0x04050607u + uint32_t(seed);
    board.analogInput0 = 31.5 + seed;
    board.analogInput1 = 32.5 + seed;
    board.analogOutput0 = 33.5 + seed;
    board.analogOutput1 = 34.5 + seed;
    board.masterBoardTemperature = float(35.25 + seed);
    board.robotVoltage48V = float(36.25 + seed);
    board.robotCurrent = float(37.25 + seed);
    board.masterIOCurrent = float(38.25 + seed);
    board.safetyMode = uint8_t(39 + seed);
    board.inReducedMode = uint8_t(40 + seed);
    return board;
}

robotstate_force sampleForce(int seed) {
    robotstate_force force;
    force.x = 41.5 + seed;
    force.y = -42.5 - seed;
    force.z = 43.5 + seed;
    force.rx = -44.5 - seed;
    force.ry = 45.5 + seed;
    force.rz = -46.5 - seed;
    force.robotDexterity = 47.5 + seed;
    return force;
}

QByteArray sampleState(int seed) {
    return urenc::fullRobotState(sampleMode(seed), sampleJoints(seed), sampleTool(seed),
                                 sampleBoard(seed), sampleForce(seed));
}

::testing::AssertionResult sameMode(const robotstate_mode &a, const robotstate_mode &b) {
    UR_SAME(timestamp)
    UR_SAME(isRealRobotConnected)
    UR_SAME(isRealRobotEnabled)
    UR_SAME(isPowerOnRobot)
    UR_SAME(isEmergencyStopped)
    UR_SAME(isProtectiveStopped)
    UR_SAME(isProgramRunning)
    UR_SAME(isProgramPaused)
    UR_SAME(robotMode)
    UR_SAME(controlMode)
    UR_SAME(targetSpeedFraction)
    UR_SAME(speedScaling)
    UR_SAME(targetSpeedFractionLimit)
    return ::testing::AssertionSuccess();
}

namespace {
::testing::AssertionResult sameJoint(const robotstate_joint &a, const robotstate_joint &b) {
    UR_SAME(actualPosition)
    UR_SAME(targetPosition)
    UR_SAME(actualVelocity)
    UR_SAME(actualCurrent)
    UR_SAME(actualVoltage)
    UR_SAME(motorTemperature)
    UR_SAME(microTemperature)
    UR_SAME(jointMode)
    return ::testing::AssertionSuccess();
}
} // namespace

::testing::AssertionResult sameJoints(const QList<robotstate_joint> &a,
                                      const QList<robotstate_joint> &b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "joint counts " << a.size() << " vs " << b.size();
    for (int j = 0; j < a.size(); ++j) {
        ::testing::AssertionResult same = sameJoint(a.at(j), b.at(j));
        if (!same)
            return ::testing::AssertionFailure() << "joint " << j << ": " << same.message();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameTool(const robotstate_tool &a, const robotstate_tool &b) {
    UR_SAME(analogInputRange2)
    UR_SAME(analogInputRange3)
    UR_SAME(analogInput2)
    UR_SAME(analogInput3)
    UR_SAME(toolVoltage48V)
    UR_SAME(toolOutputVoltage)
    UR_SAME(toolCurrent)
    UR_SAME(toolTemperature)
    UR_SAME(toolMode)
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameBoard(const robotstate_masterboard &a,
                                     const robotstate_masterboard &b) {
    UR_SAME(digitalInputBits)
    UR_SAME(digitalOutputBits)
    UR_SAME(analogInput0)
    UR_SAME(analogInput1)
    UR_SAME(analogOutput0)
    UR_SAME(analogOutput1)
    UR_SAME(masterBoardTemperature)
    UR_SAME(robotVoltage48V)
    UR_SAME(robotCurrent)
    UR_SAME(masterIOCurrent)
    UR_SAME(safetyMode)
    UR_SAME(inReducedMode)
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameForce(const robotstate_force &a, const robotstate_force &b) {
    UR_SAME(x)
    UR_SAME(y)
    UR_SAME(z)
    UR_SAME(rx)
    UR_SAME(ry)
    UR_SAME(rz)
    UR_SAME(robotDexterity)
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameDecoded(const urinstance &a, const urinstance &b) {
    for (const ::testing::AssertionResult &part :
         {sameMode(a.modeData, b.modeData), sameJoints(a.joints, b.joints),
          sameTool(a.toolData, b.toolData), sameBoard(a.masterboardData, b.masterboardData),
          sameForce(a.forceData, b.forceData)}) {
        if (!part)
            return part;
    }
    UR_SAME(versionMajor)
    UR_SAME(versionMinor)
    if (a.projectName != b.projectName)
        return ::testing::AssertionFailure() << "projectName differs";
    if (a.variableNames != b.variableNames)
        return ::testing::AssertionFailure() << "variableNames differ";
    if (a.variableValues != b.variableValues)
        return ::testing::AssertionFailure() << "variableValues differ";
    if (a.variableCounts != b.variableCounts)
        return ::testing::AssertionFailure() << "variableCounts differ";
    UR_SAME(variableCountTotal)
    if (a.pendingBytes != b.pendingBytes)
        return ::testing::AssertionFailure() << "pendingBytes differ: " << a.pendingBytes.size()
                                             << " vs " << b.pendingBytes.size() << " bytes";
    return ::testing::AssertionSuccess();
}

QByteArray readVector(const char *fileName) {
    QFile file(QStringLiteral(UR_VECTORS_DIR "/") + QString::fromLatin1(fileName));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read capture " << fileName << " from " << UR_VECTORS_DIR;
        return {};
    }
    return file.readAll();
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace dectest
