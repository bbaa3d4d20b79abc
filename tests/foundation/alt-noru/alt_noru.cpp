// A second, minimal libnoru.so.1, declared anew from the host library's binary interface
// (not from the plug-in's header). It knows no devices, items or settings; it only notes
// each registration as text, for the test to read after init() returned.
#include <QStringList>

// Defined in the class body yet emitted and exported, as the host's out-of-line members are.
#define HOST __attribute__((used, visibility("default")))

enum DataType : int {};
class PluginInitOptions;
class ItemInstancePlugin;
class DeviceInstancePlugin {}; // only ever in empty lists here
class NetworkInterfaceInstance {};

class DatabaseColumnStructure {
public:
    HOST DatabaseColumnStructure(QString name, DataType type, int size, QString defaultValue,
                                 QString description)
        : name(name), type(type), defaultValue(defaultValue), description(description),
          size(size), hostData{} {}
    HOST void insertSelectionValues(QString label, QString value) {
        selectionValues.append({label, value});
    }

    QList<std::pair<QString, QString>> selectionValues; // label, value
    QString name;
    DataType type;
    QString defaultValue, description;
    int size;
    alignas(8) unsigned char hostData[104];
};
static_assert(sizeof(DatabaseColumnStructure) == 152, "column record of the host");

// "name number column,column,...;" per registration, with the names of the third list.
Q_DECL_EXPORT QString altNoruRegistrations;

using Columns = QList<DatabaseColumnStructure>;
class PluginInterface {
public:
    HOST PluginInterface() : hostPrivate{} {}
    HOST ~PluginInterface() {}
    HOST bool initPlugin(QString name, unsigned int number, Columns, Columns, Columns columns,
                         Columns, const PluginInitOptions &) {
        altNoruRegistrations += name + ' ' + QString::number(number);
        for (const DatabaseColumnStructure &column : columns)
            altNoruRegistrations += (&column == &columns.first() ? ' ' : ',') + column.name;
        altNoruRegistrations += ';';
        return true;
    }
    HOST QList<NetworkInterfaceInstance> getNetworkInterfaces() { return {}; }
    HOST QList<DeviceInstancePlugin> getPluginDevices() { return {}; }
    HOST bool addPluginItem(ItemInstancePlugin *) { return true; }
    HOST bool getPluginItem(QString, ItemInstancePlugin *) { return false; }
    HOST QString getSetting(QString) { return QString(); }
    HOST void reloadPlugins() {}
    HOST void watchdogAddHeartbeat(DeviceInstancePlugin *) {}
    HOST void logDebug(QString) {}
    HOST void logInfo(QString) {}
    HOST void logWarning(QString) {}
    HOST void logError(QString) {}

    void *hostPrivate[5];
    QString dataDirectory;
};
static_assert(sizeof(PluginInterface) == 48, "service object of the host");
