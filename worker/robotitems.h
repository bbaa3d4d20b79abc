// The 39 robot-state values that every robot offers as default items: their keys,
// display names and units, and how each is read from a robot record as text.
#pragma once

#include "urinstance.h"

#include <QList>
#include <QString>

#include <functional>

struct RobotValueItem {
    QString key;
    QString name;
    QString unit;
    // Writes the value's text and returns true; false when the record has no such value
    // yet (joint values before the first joint data).
    std::function<bool(const urinstance &, QString *)> read;
};

// In registration order.
const QList<RobotValueItem> &robotValueItems();

// Index into robotValueItems() of the item whose key plus suffix is uid, or -1.
int robotValueItemIndex(const QString &uid, const QString &suffix);
