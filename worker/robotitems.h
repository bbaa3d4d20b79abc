// The robot-state values that the read cycle knows by key: the 39 that every robot offers as
// default items, and the extra ones read only when the host asks for them. Their keys,
// display names and units, the group of values each belongs to, and how each is read from a
// robot record as text.
#pragma once

#include "urinstance.h"

#include <QList>
#include <QString>

#include <functional>

// The groups of values, each decoded from one kind of sub-package (or message) and aged as
// a whole.
enum class ValueGroup { Mode, Joints, Tool, Masterboard, Force, Alarms };

struct RobotValueItem {
    QString key;
    QString name;
    QString unit;
    ValueGroup group;
    // Writes the value's text and returns true; false when the record has no such value
    // (joint values before the first joint data, a field beyond the bytes of its sub-package,
    // or one that the robot's controller generation does not have).
    std::function<bool(const urinstance &, QString *)> read;
};

// The 39 default items, in registration order. Nothing else is registered.
const QList<RobotValueItem> &robotValueItems();

// Values read on request only: robot mode, power, speeds, joint positions, alarms, and the
// time and event counters.
const QList<RobotValueItem> &extraRobotValueItems();

// Index into robotValueItems() of the item whose key plus suffix is uid, or -1.
int robotValueItemIndex(const QString &uid, const QString &suffix);

// The default or extra item whose key plus suffix is uid, or null.
const RobotValueItem *robotValueItem(const QString &uid, const QString &suffix);

// Monotonic time of the newest decoding of the group on the current connection; 0 when it
// has not been decoded on it. Alarms are events, not states: they have no age (-1); the time
// and event counters are in their group for that reason.
int64_t groupDecodedMs(const urinstance &robot, ValueGroup group);
