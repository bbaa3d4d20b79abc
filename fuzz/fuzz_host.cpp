#include "fuzz_host.h"

#include "noruplugin.h"

namespace fuzz_host {

Offered &offered() {
    static Offered state;
    return state;
}

} // namespace fuzz_host

PluginInterface::PluginInterface() : hostState(nullptr), hostReserved{} {}
PluginInterface::~PluginInterface() {
    (void)hostState;
    (void)hostReserved;
}

bool PluginInterface::initPlugin(QString, unsigned int, QList<DatabaseColumnStructure>,
                                 QList<DatabaseColumnStructure>, QList<DatabaseColumnStructure>,
                                 QList<DatabaseColumnStructure>, const PluginInitOptions &) {
    return true;
}
QList<NetworkInterfaceInstance> PluginInterface::getNetworkInterfaces() {
    return {};
}
QList<DeviceInstancePlugin> PluginInterface::getPluginDevices() {
    return {};
}
bool PluginInterface::addPluginItem(ItemInstancePlugin *item) {
    fuzz_host::Offered &offered = fuzz_host::offered();
    offered.twice |= offered.uids.contains(item->uid);
    offered.uids.insert(item->uid);
    return true;
}
bool PluginInterface::getPluginItem(QString, ItemInstancePlugin *) {
    return false;
}
QString PluginInterface::getSetting(QString) {
    return {};
}
void PluginInterface::reloadPlugins() {}
void PluginInterface::watchdogAddHeartbeat(DeviceInstancePlugin *) {}
void PluginInterface::logDebug(QString) {}
void PluginInterface::logInfo(QString) {}
void PluginInterface::logWarning(QString) {}
void PluginInterface::logError(QString) {}

DatabaseColumnStructure::DatabaseColumnStructure(QString name, DataType type, int size,
                                                 QString defaultValue, QString description)
    : name(name), type(type), defaultValue(defaultValue), description(description),
      size(size), hostData{} {}
void DatabaseColumnStructure::insertSelectionValues(QString label, QString value) {
    selectionValues.append({label, value});
}
