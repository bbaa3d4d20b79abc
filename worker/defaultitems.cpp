#include "hostgateway.h"
#include "robotitems.h"
#include "urworker.h"

#include <QSet>

void WorkerClass::addDefaultRobotItemsToDatabase(urinstance *robot) {
    // A device with ten or more items is taken to be configured already.
    if (robot->device.items.size() >= 10)
        return;
    // Only what the device lacks: a set-up cut short by a stop leaves no duplicates behind.
    QSet<QString> present;
    for (const ItemInstancePlugin &existing : qAsConst(robot->device.items))
        present.insert(existing.uid);

    ItemInstancePlugin item{};
    item.deviceId = robot->device.id;
    item.hostInt4 = 1;
    item.hostFlag1 = false;
    item.hostFlag3 = false;
    item.readIntervalMs = 0;
    const QString suffix = QStringLiteral("_") + QString::number(robot->device.id);
    for (const RobotValueItem &value : robotValueItems()) {
        item.uid = value.key + suffix;
        if (present.contains(item.uid))
            continue;
        item.name = value.name;
        item.unit = value.unit;
        HostGateway::addItem(item);
    }
}
