#include "urworker.h"

void WorkerClass::addDefaultRobotItemsToDatabase(urinstance *) {}
