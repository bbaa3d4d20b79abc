// Identity items of a robot (vendor, model, firmware): created once at plug-in start and
// filled on every read cycle. Free functions without state; the caller passes the host.
#pragma once

#include "noruplugin.h"

#include <QList>
#include <QMap>
#include <QString>

namespace noru_identity {

struct Spec {
    QString key;
    QString label;
    QString description;
    QMap<QString, QString> properties;
    bool itemFlag = false;
};

int readIntervalMs();
bool isIdentityAddress(const QString &address);
QString fieldKey(const QString &address);
QString uidFor(int deviceId, const QString &key);
// The identity item that ensureItems creates for the device and the given key.
ItemInstancePlugin itemFor(int deviceId, const Spec &spec);
int ensureItems(PluginInterface *host, int deviceId, const QList<Spec> &specs);
void requestReloadIfIdentityCreated(PluginInterface *host, int createdCount);
void ensureItemsForAllDevices(PluginInterface *host, const QList<Spec> &specs);
void applyValuesByUid(LogList *list, const QMap<QString, QString> &values);
void applyValues(LogList *list, const char *addressPropertyName,
                 const QMap<QString, QString> &values);
void publishValues(PluginInterface *host, LogList *list, const QMap<QString, QString> &values,
                   const char *addressPropertyName);

} // namespace noru_identity
