#include "hostgateway.h"
#include "robotitems.h"
#include "urworker.h"

void WorkerClass::addDefaultRobotItemsToDatabase(urinstance *robot) {
    // A device with ten or more items is taken to be configured already.
    if (robot->device.items.size() >= 10)
        return;

    ItemInstancePlugin item{};
    item.deviceId = robot->device.id;
    item.hostInt4 = 1;
    item.hostFlag1 = false;
    item.hostFlag3 = false;
    item.readIntervalMs = 0;
    const QString suffix = QStringLiteral("_") + QString::number(robot->device.id);
    QList<ItemInstancePlugin> batch;
    for (const RobotValueItem &value : robotValueItems()) {
        item.uid = value.key + suffix;
        item.name = value.name;
        item.unit = value.unit;
        batch << item;
    }
    HostGateway::addItems(batch);
}
