#include "urwrapper.h"

// Placeholder until the decoder lands.
void URWrapper::wrapMessage(urinstance *, QByteArray) {}
void URWrapper::processRobotMessages(QByteArray, urinstance *) {}
void URWrapper::processRobotStateMessages(QByteArray, urinstance *, unsigned int *) {}
int32_t URWrapper::getLength(QByteArray) { return 0; }
double URWrapper::convert8BytesToDouble(QByteArray) { return 0; }
float URWrapper::convert4BytesToFloat(QByteArray) { return 0; }
QString URWrapper::convertPoseToString(QByteArray) { return {}; }
