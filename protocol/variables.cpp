#include "urwrapper.h"

// Placeholder until the program-variable decoder lands.
void URWrapper::processGlobalMessages(QByteArray, urinstance *) {}
void URWrapper::getVariableArray(QByteArray, urinstance *) {}
void URWrapper::getVariablesValue(QByteArray, urinstance *) {}
uint16_t URWrapper::processVariable(QByteArray, urinstance *, QList<QString> *) { return 2; }
void URWrapper::getLastUsedRobotVariables(urinstance *) {}
void URWrapper::addItemToRobot(urinstance *, QString) {}
