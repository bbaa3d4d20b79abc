#include "robotitems.h"
#include "ur.h"
#include "urworker.h"

#include <QMutexLocker>

void WorkerClass::addDefaultRobotItemsToDatabase(urinstance *robot) {
    // A device with ten or more items is taken to be configured already.
    if (robot->device.items.size() >= 10)
        return;

    // One lock for the whole batch keeps other host calls of the plug-in out of it.
    QMutexLocker lock(&UR::interfaceMutex);
    ItemInstancePlugin item{};
    item.deviceId = robot->device.id;
    item.hostInt4 = 1;
    item.hostFlag1 = false;
    item.hostFlag3 = false;
    item.readIntervalMs = 0;
    const QString suffix = QStringLiteral("_") + QString::number(robot->device.id);
    for (const RobotValueItem &value : robotValueItems()) {
        item.uid = value.key + suffix;
        item.name = value.name;
        item.unit = value.unit;
        UR::addItem(&item);
    }
}
