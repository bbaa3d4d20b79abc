// Decoder of the controller's message stream. Stateless: everything it learns goes into
// the robot record that it is handed, including the undecoded tail of the stream.
#pragma once

#include "urinstance.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// What one read of the stream came to.
struct DecodeResult {
    int messages = 0;    // controller messages decoded (robot state, robot and global messages)
    int robotStates = 0; // robot state messages among them
    // The bytes could not be framed as controller messages: the rest of the stream cannot
    // be trusted, and the connection has to start afresh at a message boundary.
    bool streamLost = false;
};

class URWrapper {
public:
    URWrapper() = default;

    // Largest message accepted; a longer length field means the stream is out of step.
    static constexpr uint32_t maxMessageLength = 1u << 20;
    // Distinct message titles that one robot record turns into items.
    static constexpr int maxTitles = 256;
    // Distinct program variable names that one robot record turns into items.
    static constexpr int maxVariableNames = 4096;

    void wrapMessage(urinstance *robot, QByteArray bytes);
    // The same over borrowed bytes, with the outcome.
    DecodeResult decode(urinstance *robot, const char *bytes, size_t size);
    void getLastUsedRobotVariables(urinstance *robot);
    void addItemToRobot(urinstance *robot, QString name);
};
