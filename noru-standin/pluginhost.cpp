#include "pluginhost.h"

#include "noru_standin.h"

namespace pluginhost {

NORUInterface *load(QPluginLoader *loader, const QString &path, QString *error) {
    loader->setFileName(path);
    QObject *object = loader->instance();
    NORUInterface *plugin = object ? qobject_cast<NORUInterface *>(object) : nullptr;
    if (!plugin && error)
        *error = object ? QStringLiteral("not a NORU plug-in") : loader->errorString();
    return plugin;
}

std::unique_ptr<LogList> readList(const DeviceInstancePlugin &device, const QStringList &uids) {
    auto list = std::make_unique<LogList>();
    static_cast<DeviceInstancePlugin &>(*list) = device;
    for (const QString &uid : uids) {
        ItemInstancePlugin item{};
        if (!noru_standin::Host::instance().findItem(uid, &item)) {
            item.uid = uid;
            item.name = uid;
            item.deviceId = device.id;
        }
        DataItem entry(item);
        // The host hands over fully initialised records; the constructor leaves these open.
        entry.plugin.id = 0;
        entry.plugin.hostInt1 = 0;
        entry.plugin.hostFlag1 = false;
        entry.plugin.hostWord = 0;
        entry.hostShort = 0;
        entry.hostWord = 0;
        list->items.append(entry);
    }
    return list;
}

} // namespace pluginhost
