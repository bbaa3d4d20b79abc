// Decoder of the controller's message stream. Stateless: everything it learns goes into
// the robot record that it is handed, including the undecoded tail of the stream.
#pragma once

#include "urinstance.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

class URWrapper {
public:
    URWrapper() = default;

    // Largest message accepted; a longer length field means the stream is out of step.
    static constexpr uint32_t maxMessageLength = 1u << 20;

    void wrapMessage(urinstance *robot, QByteArray bytes);
    void processRobotMessages(QByteArray message, urinstance *robot);
    void processRobotStateMessages(QByteArray message, urinstance *robot, unsigned int *cursor);
    void processGlobalMessages(QByteArray message, urinstance *robot);
    void getVariableArray(QByteArray body, urinstance *robot);
    void getVariablesValue(QByteArray body, urinstance *robot);
    uint16_t processVariable(QByteArray data, urinstance *robot, QList<QString> *values);
    void getLastUsedRobotVariables(urinstance *robot);
    void addItemToRobot(urinstance *robot, QString name);

    int32_t getLength(QByteArray bytes);
    double convert8BytesToDouble(QByteArray bytes);
    float convert4BytesToFloat(QByteArray bytes);
    QString convertPoseToString(QByteArray bytes);
};
