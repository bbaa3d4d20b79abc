#include "urworker.h"

QList<urinstance> WorkerClass::robots;
std::atomic<bool> WorkerClass::run{false};
std::atomic<bool> WorkerClass::done{true};

WorkerClass::WorkerClass(QObject *parent) : QObject(parent) {}
WorkerClass::~WorkerClass() = default;
bool WorkerClass::connectToRobot(urinstance *, bool) { return false; }
urinstance WorkerClass::getData(QString, bool *found) { *found = false; return {}; }
bool WorkerClass::hasPublished() { return published.load(); }
void WorkerClass::setRobotAvailability(urinstance *, bool, bool) {}
void WorkerClass::closeRobotSocket(urinstance *) {}
void WorkerClass::work() { done.store(true); }
