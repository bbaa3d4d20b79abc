// The host platform's plug-in boundary: records exchanged with libnoru.so.1, its
// service object and the plug-in interface. Every layout here is shared with the host
// binary, so each record carries static_asserts on its size and on the offsets the
// plug-in touches: a change that breaks compatibility fails to compile.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>
#include <QtPlugin>

#include <cstddef>
#include <cstring>
#include <utility>

class DatabaseColumnStructure;
class PluginInitOptions;
class NetworkInterfaceInstance;
class DeviceInstancePlugin;
class ItemInstancePlugin;

enum DataType : int { /* 0 = whole number column, 8 = text column; other values are the host's */ };

class Mapping {
public:
    int hostInt1 = 0, hostInt2 = 0, hostInt3 = 0, hostInt4 = 0, hostInt5 = 0;
    int hostInt6 = 0, hostInt7 = 0, hostInt8 = 0, hostInt9 = 0, hostInt10 = 0;
    QString hostText1;
    QString hostText2;
    QMap<QString, QString> properties;
    bool hostFlag1 = false, hostFlag2 = false, hostFlag3 = false, hostFlag4 = false,
         hostFlag5 = false;
    int hostInt11 = 0;
    quint64 hostWord = 0;
};

class ItemInstancePlugin {
public:
    int id = 0;
    QString uid;
    QString name;
    QString description;
    QString unit;
    bool hostFlag1 = false;
    int hostInt1 = 0;
    float hostFloat1 = 0;
    bool hostFlag2 = false;
    QString hostText1;
    int readIntervalMs = 0;
    bool hostFlag3 = false;
    float hostFloat2 = 0;
    int hostInt2 = 0;
    float hostFloat3 = 0;
    QString hostText2;
    int hostInt3 = 0;
    QVector<QString> hostTexts;
    int deviceId = 0;
    int hostInt4 = 0;
    int hostInt5 = 0, hostInt6 = 0, hostInt7 = 0, hostInt8 = 0;
    QString errorText;
    QMap<QString, QString> properties;
    QList<Mapping> mappings;
};

class FileInstancePlugin {
public:
    int id = 0;
    QString hostText1;
    QString hostText2;
    int hostInt1 = 0;
    QString hostText3;
    QMap<QString, QString> properties;
};

// The default constructor builds only the texts and containers; records that the
// plug-in makes itself are value-initialised (DeviceInstancePlugin{}), which zeroes the
// numbers and flags first.
class DeviceInstancePlugin {
public:
    DeviceInstancePlugin() = default;

    int getErrorWaitTimeSeconds() { return errorWaitSeconds >= 1 ? errorWaitSeconds : 5; }

    int id;
    QString hostText1;
    QString name;
    QString hostText2;
    int hostInt1;
    bool hostFlag1;
    int hostInt2;
    int hostInt3;
    QString address;
    int errorWaitSeconds;
    QString errorText;
    bool hostFlag2;
    bool hostFlag3;
    QMap<QString, QString> settings;
    QList<ItemInstancePlugin> items;
    QList<FileInstancePlugin> files;
};

class DatabaseColumnStructure {
public:
    struct SelectionValue {
        QString label;
        QString value;
    };

    DatabaseColumnStructure(QString name, DataType type, int size, QString defaultValue,
                            QString description);
    void insertSelectionValues(QString label, QString value);

    QList<SelectionValue> selectionValues;
    QString name;
    DataType type;
    QString defaultValue;
    QString description;
    int size;
    alignas(8) unsigned char hostData[104];
};

class PluginInstancePlugin {
public:
    PluginInstancePlugin() = default;

    int id;
    QString hostText1, hostText2, hostText3, hostText4, hostText5;
    int hostInt1;
    bool hostFlag1;
    QList<DatabaseColumnStructure> columnLists[8];
    QList<DeviceInstancePlugin> devices;
    QList<ItemInstancePlugin> items;
    QList<FileInstancePlugin> files;
    quint64 hostWord;
};

class DataItem {
public:
    explicit DataItem(ItemInstancePlugin source) : item(std::move(source)), plugin(), device() {}
    DataItem() : DataItem(ItemInstancePlugin()) {}

    QMap<QString, QString> values;
    QDateTime timestamp;
    ItemInstancePlugin item;
    PluginInstancePlugin plugin;
    ItemInstancePlugin hostItem;
    DeviceInstancePlugin device;
    int hostInt1 = -1;
    qint16 hostShort = 0;
    int hostInt2 = 0;
    quint64 hostWord = 0;
};

// The host allocates and owns each LogList; 152 bytes between the device part and the
// item list are the host's own.
class LogList : public DeviceInstancePlugin {
public:
    LogList() : DeviceInstancePlugin() { std::memset(hostFields, 0, sizeof hostFields); }

    alignas(8) unsigned char hostFields[152];
    QList<DataItem> items;
};

class NetworkInterfaceInstance {
public:
    QString name;
    QString hostText1, hostText2, hostText3, hostText4;
    bool hostFlag1 = false;
    bool hostFlag2 = false;
    QString hostText5;
    QString hostText6;
    bool hostFlag3 = false;
};

class PluginInitOptions {
public:
    int hostInt1 = 32;
    bool hostFlag1 = false;
    bool hostFlag2 = false;
    bool hostFlag3 = true;
    int hostInt2 = 180;
    bool hostFlag4 = false;
    bool hostFlag5 = false;
    bool hostFlag6 = false;
    bool hostFlag7 = false;
    QString actionName = QStringLiteral("discover");
    QMap<QString, QVariant> hostValues;
};

// The host's service object. Its members are implemented in libnoru.so.1 and bound by
// their mangled names: QString parameters by value, nothing const.
class PluginInterface {
public:
    PluginInterface();
    ~PluginInterface();
    PluginInterface(const PluginInterface &) = delete;
    PluginInterface &operator=(const PluginInterface &) = delete;

    bool initPlugin(QString name, unsigned int number, QList<DatabaseColumnStructure> columns1,
                    QList<DatabaseColumnStructure> columns2,
                    QList<DatabaseColumnStructure> columns3,
                    QList<DatabaseColumnStructure> columns4, const PluginInitOptions &options);
    QList<NetworkInterfaceInstance> getNetworkInterfaces();
    QList<DeviceInstancePlugin> getPluginDevices();
    bool addPluginItem(ItemInstancePlugin *item);
    bool getPluginItem(QString uid, ItemInstancePlugin *item);
    QString getSetting(QString key);
    void reloadPlugins();
    void watchdogAddHeartbeat(DeviceInstancePlugin *device);
    void logDebug(QString message);
    void logInfo(QString message);
    void logWarning(QString message);
    void logError(QString message);

private:
    void *hostState;
    [[maybe_unused]] void *hostReserved[4];

public:
    QString dataDirectory;
};

class NORUInterface {
public:
    virtual ~NORUInterface() {}
    virtual bool init() = 0;
    virtual bool readData(LogList *list) = 0;
    virtual bool getEventData(LogList *list) = 0;
    virtual bool logCallback(LogList *list) = 0;
    virtual bool writeData(LogList *list) = 0;
    virtual bool stopPlugin() = 0;
};

#define NORUInterface_iid "com.tervane.NORU/1.0.7"
Q_DECLARE_INTERFACE(NORUInterface, NORUInterface_iid)

// Layout checks against the host binary (LP64).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(Mapping) == 88, "Mapping layout");
static_assert(offsetof(Mapping, hostText1) == 40 && offsetof(Mapping, properties) == 56 &&
                  offsetof(Mapping, hostFlag1) == 64 && offsetof(Mapping, hostInt11) == 72 &&
                  offsetof(Mapping, hostWord) == 80,
              "Mapping layout");

static_assert(sizeof(ItemInstancePlugin) == 160, "ItemInstancePlugin layout");
static_assert(offsetof(ItemInstancePlugin, uid) == 8, "ItemInstancePlugin::uid");
static_assert(offsetof(ItemInstancePlugin, name) == 16, "ItemInstancePlugin::name");
static_assert(offsetof(ItemInstancePlugin, description) == 24, "ItemInstancePlugin::description");
static_assert(offsetof(ItemInstancePlugin, unit) == 32, "ItemInstancePlugin::unit");
static_assert(offsetof(ItemInstancePlugin, hostFlag1) == 40, "ItemInstancePlugin::hostFlag1");
static_assert(offsetof(ItemInstancePlugin, hostText1) == 56, "ItemInstancePlugin::hostText1");
static_assert(offsetof(ItemInstancePlugin, readIntervalMs) == 64,
              "ItemInstancePlugin::readIntervalMs");
static_assert(offsetof(ItemInstancePlugin, hostFlag3) == 68, "ItemInstancePlugin::hostFlag3");
static_assert(offsetof(ItemInstancePlugin, hostText2) == 88, "ItemInstancePlugin::hostText2");
static_assert(offsetof(ItemInstancePlugin, hostTexts) == 104, "ItemInstancePlugin::hostTexts");
static_assert(offsetof(ItemInstancePlugin, deviceId) == 112, "ItemInstancePlugin::deviceId");
static_assert(offsetof(ItemInstancePlugin, hostInt4) == 116, "ItemInstancePlugin::hostInt4");
static_assert(offsetof(ItemInstancePlugin, hostInt8) == 132, "ItemInstancePlugin::hostInt8");
static_assert(offsetof(ItemInstancePlugin, errorText) == 136, "ItemInstancePlugin::errorText");
static_assert(offsetof(ItemInstancePlugin, properties) == 144, "ItemInstancePlugin::properties");
static_assert(offsetof(ItemInstancePlugin, mappings) == 152, "ItemInstancePlugin::mappings");

static_assert(sizeof(FileInstancePlugin) == 48, "FileInstancePlugin layout");
static_assert(offsetof(FileInstancePlugin, hostText3) == 32 &&
                  offsetof(FileInstancePlugin, properties) == 40,
              "FileInstancePlugin layout");

static_assert(sizeof(DeviceInstancePlugin) == 104, "DeviceInstancePlugin layout");
static_assert(offsetof(DeviceInstancePlugin, id) == 0, "DeviceInstancePlugin::id");
static_assert(offsetof(DeviceInstancePlugin, name) == 16, "DeviceInstancePlugin::name");
static_assert(offsetof(DeviceInstancePlugin, hostInt1) == 32, "DeviceInstancePlugin::hostInt1");
static_assert(offsetof(DeviceInstancePlugin, address) == 48, "DeviceInstancePlugin::address");
static_assert(offsetof(DeviceInstancePlugin, errorWaitSeconds) == 56,
              "DeviceInstancePlugin::errorWaitSeconds");
static_assert(offsetof(DeviceInstancePlugin, errorText) == 64, "DeviceInstancePlugin::errorText");
static_assert(offsetof(DeviceInstancePlugin, hostFlag3) == 73, "DeviceInstancePlugin::hostFlag3");
static_assert(offsetof(DeviceInstancePlugin, settings) == 80, "DeviceInstancePlugin::settings");
static_assert(offsetof(DeviceInstancePlugin, items) == 88, "DeviceInstancePlugin::items");
static_assert(offsetof(DeviceInstancePlugin, files) == 96, "DeviceInstancePlugin::files");

static_assert(sizeof(DatabaseColumnStructure::SelectionValue) == 16, "SelectionValue layout");
static_assert(sizeof(DatabaseColumnStructure) == 152, "DatabaseColumnStructure layout");
static_assert(offsetof(DatabaseColumnStructure, selectionValues) == 0 &&
                  offsetof(DatabaseColumnStructure, name) == 8 &&
                  offsetof(DatabaseColumnStructure, type) == 16 &&
                  offsetof(DatabaseColumnStructure, defaultValue) == 24 &&
                  offsetof(DatabaseColumnStructure, description) == 32 &&
                  offsetof(DatabaseColumnStructure, size) == 40 &&
                  offsetof(DatabaseColumnStructure, hostData) == 48,
              "DatabaseColumnStructure layout");

static_assert(sizeof(PluginInstancePlugin) == 152, "PluginInstancePlugin layout");
static_assert(offsetof(PluginInstancePlugin, hostInt1) == 48 &&
                  offsetof(PluginInstancePlugin, columnLists) == 56 &&
                  offsetof(PluginInstancePlugin, devices) == 120 &&
                  offsetof(PluginInstancePlugin, files) == 136 &&
                  offsetof(PluginInstancePlugin, hostWord) == 144,
              "PluginInstancePlugin layout");

static_assert(sizeof(DataItem) == 616, "DataItem layout");
static_assert(offsetof(DataItem, values) == 0, "DataItem::values");
static_assert(offsetof(DataItem, timestamp) == 8, "DataItem::timestamp");
static_assert(offsetof(DataItem, item) == 16, "DataItem::item");
static_assert(offsetof(DataItem, plugin) == 176, "DataItem::plugin");
static_assert(offsetof(DataItem, hostItem) == 328, "DataItem::hostItem");
static_assert(offsetof(DataItem, device) == 488, "DataItem::device");
static_assert(offsetof(DataItem, hostInt1) == 592 && offsetof(DataItem, hostShort) == 596 &&
                  offsetof(DataItem, hostInt2) == 600 && offsetof(DataItem, hostWord) == 608,
              "DataItem host fields");

static_assert(offsetof(LogList, items) == 256, "LogList::items");

static_assert(sizeof(NetworkInterfaceInstance) == 72, "NetworkInterfaceInstance layout");
static_assert(offsetof(NetworkInterfaceInstance, name) == 0 &&
                  offsetof(NetworkInterfaceInstance, hostFlag1) == 40 &&
                  offsetof(NetworkInterfaceInstance, hostFlag2) == 41 &&
                  offsetof(NetworkInterfaceInstance, hostText5) == 48 &&
                  offsetof(NetworkInterfaceInstance, hostFlag3) == 64,
              "NetworkInterfaceInstance layout");

static_assert(sizeof(PluginInitOptions) == 32, "PluginInitOptions layout");
static_assert(offsetof(PluginInitOptions, hostFlag1) == 4 &&
                  offsetof(PluginInitOptions, hostFlag3) == 6 &&
                  offsetof(PluginInitOptions, hostInt2) == 8 &&
                  offsetof(PluginInitOptions, hostFlag4) == 12 &&
                  offsetof(PluginInitOptions, hostFlag5) == 13 &&
                  offsetof(PluginInitOptions, hostFlag7) == 15 &&
                  offsetof(PluginInitOptions, actionName) == 16 &&
                  offsetof(PluginInitOptions, hostValues) == 24,
              "PluginInitOptions layout");

static_assert(sizeof(PluginInterface) == 48, "PluginInterface layout");
static_assert(offsetof(PluginInterface, dataDirectory) == 40, "PluginInterface::dataDirectory");
#pragma GCC diagnostic pop
