// What every host of the plug-in does, in one place for the demo host, the benchmarks and the
// tests: load the plug-in as the platform does, and build the list of one read cycle.
#pragma once

#include "noruplugin.h"

#include <QPluginLoader>
#include <QString>
#include <QStringList>

#include <memory>

namespace pluginhost {

// Loads the plug-in with loader (QPluginLoader, cast by interface id). Null on failure, with
// the reason in *error.
NORUInterface *load(QPluginLoader *loader, const QString &path, QString *error = nullptr);

// One read cycle's list for the device: an item per uid, the stand-in host's stored item when
// it has one, else a bare item with the uid as its name; host fields as the host leaves them.
std::unique_ptr<LogList> readList(const DeviceInstancePlugin &device, const QStringList &uids);

} // namespace pluginhost
