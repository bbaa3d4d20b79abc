// Minimal TCP client for the robot controllers: a bounded connect and one bounded read.
#pragma once

#include "urinstance.h"

#include <QByteArray>
#include <QString>

class Socket {
public:
    Socket() = default;

    bool connectToRobot(QString host, int port, int *socketFd, int timeoutMs);
    bool readFromRobot(int *socketFd, QByteArray *data, urinstance *robot);
};
