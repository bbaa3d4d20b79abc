#include "noru_identity.h"

#include <QDateTime>
#include <QSet>

namespace noru_identity {

namespace {
const QString identityPrefix = QStringLiteral("__identity.");
const QString valueKey = QStringLiteral("value");

void storeValue(DataItem &dataItem, const QString &text, const QDateTime &now) {
    dataItem.values.insert(valueKey, text);
    dataItem.timestamp = now;
    dataItem.item.errorText.clear();
}
} // namespace

int readIntervalMs() {
    return 604800000;
}

bool isIdentityAddress(const QString &address) {
    return address.startsWith(identityPrefix);
}

QString fieldKey(const QString &address) {
    return isIdentityAddress(address) ? address.mid(identityPrefix.size()) : QString();
}

QString uidFor(int deviceId, const QString &key) {
    return QStringLiteral("identity_%1_%2").arg(deviceId).arg(key);
}

ItemInstancePlugin itemFor(int deviceId, const Spec &spec) {
    ItemInstancePlugin item{};
    item.uid = uidFor(deviceId, spec.key);
    item.name = spec.label;
    item.description = spec.description;
    item.hostFlag1 = true;
    item.readIntervalMs = readIntervalMs();
    item.hostFlag3 = spec.itemFlag;
    item.deviceId = deviceId;
    item.hostInt4 = 1;
    item.properties = spec.properties;
    item.properties.insert(QStringLiteral("item_tags"), spec.key);
    return item;
}

int ensureItems(PluginInterface *host, int deviceId, const QList<Spec> &specs) {
    if (!host || deviceId < 1)
        return 0;
    int created = 0;
    for (const Spec &spec : specs) {
        ItemInstancePlugin existing{};
        if (host->getPluginItem(uidFor(deviceId, spec.key), &existing))
            continue;
        ItemInstancePlugin item = itemFor(deviceId, spec);
        host->addPluginItem(&item);
        ++created;
    }
    return created;
}

void requestReloadIfIdentityCreated(PluginInterface *host, int createdCount) {
    if (!host || createdCount < 1)
        return;
    if (host->getSetting(QStringLiteral("plugin_refreshing")) != QLatin1String("1"))
        host->reloadPlugins();
}

void ensureItemsForAllDevices(PluginInterface *host, const QList<Spec> &specs) {
    if (!host)
        return;
    int created = 0;
    const QList<DeviceInstancePlugin> devices = host->getPluginDevices();
    for (const DeviceInstancePlugin &device : devices)
        created += ensureItems(host, device.id, specs);
    requestReloadIfIdentityCreated(host, created);
}

void applyValuesByUid(LogList *list, const QMap<QString, QString> &values) {
    if (!list)
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < list->items.size(); ++i) {
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            if (list->items.at(i).item.uid == uidFor(list->id, it.key()))
                storeValue(list->items[i], it.value(), now);
        }
    }
}

void applyValues(LogList *list, const char *addressPropertyName,
                 const QMap<QString, QString> &values) {
    if (!list)
        return;
    const QString property = QString::fromLatin1(addressPropertyName);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < list->items.size(); ++i) {
        const QString key = fieldKey(list->items.at(i).item.properties.value(property));
        if (!key.isEmpty() && values.contains(key))
            storeValue(list->items[i], values.value(key), now);
    }
}

void publishValues(PluginInterface *host, LogList *list, const QMap<QString, QString> &values,
                   const char *addressPropertyName) {
    applyValuesByUid(list, values);
    if (addressPropertyName)
        applyValues(list, addressPropertyName, values);
    if (!host || !list)
        return;

    QSet<QString> presentUids;
    QSet<QString> presentKeys;
    const QString property =
        addressPropertyName ? QString::fromLatin1(addressPropertyName) : QString();
    for (const DataItem &dataItem : qAsConst(list->items)) {
        presentUids.insert(dataItem.item.uid);
        if (addressPropertyName) {
            const QString key = fieldKey(dataItem.item.properties.value(property));
            if (!key.isEmpty())
                presentKeys.insert(key);
        }
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it.value().trimmed().isEmpty())
            continue;
        const QString uid = uidFor(list->id, it.key());
        if (presentUids.contains(uid) || presentKeys.contains(it.key()))
            continue;
        ItemInstancePlugin item{};
        if (!host->getPluginItem(uid, &item))
            continue;
        DataItem appended(item);
        storeValue(appended, it.value(), now);
        list->items.append(appended);
    }
}

} // namespace noru_identity
