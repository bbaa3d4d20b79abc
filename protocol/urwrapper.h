// Decoder of the controller's message stream. Stateless: everything it learns goes into
// the robot record that it is handed, including the undecoded tail of the stream.
#pragma once

#include "urinstance.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class URWrapper {
public:
    URWrapper() = default;

    // Largest message accepted; a longer length field means the stream is out of step.
    static constexpr uint32_t maxMessageLength = 1u << 20;

    void wrapMessage(urinstance *robot, QByteArray bytes);
    void getLastUsedRobotVariables(urinstance *robot);
    void addItemToRobot(urinstance *robot, QString name);
};
