// A minimal host library: every symbol that a plug-in may import, declared anew from the
// host's binary interface description (not from the plug-in's header). It knows no
// devices, items or settings; it only notes the registration and counts log lines.
#include "alt_noru.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <cstring>

enum DataType : int {};

class PluginInitOptions;
class ItemInstancePlugin;
// Only ever returned in empty lists here, so their fields do not matter.
class DeviceInstancePlugin {};
class NetworkInterfaceInstance {};

class Q_DECL_EXPORT DatabaseColumnStructure {
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
static_assert(sizeof(DatabaseColumnStructure) == 152, "column record of the host");

class Q_DECL_EXPORT PluginInterface {
public:
    PluginInterface();
    ~PluginInterface();

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

    void *hostPrivate[5];
    QString dataDirectory;
};
static_assert(sizeof(PluginInterface) == 48, "service object of the host");

extern "C" {
int alt_noru_init_calls = 0;
unsigned int alt_noru_init_number = 0;
char alt_noru_init_name[64] = {};
int alt_noru_column_counts[4] = {};
char alt_noru_column_names[256] = {};
}

namespace {
std::atomic<int> logLines{0};

void copyText(char *target, std::size_t capacity, const QByteArray &text) {
    const std::size_t length = qMin<std::size_t>(capacity - 1, std::size_t(text.size()));
    std::memcpy(target, text.constData(), length);
    target[length] = '\0';
}
} // namespace

extern "C" int alt_noru_log_lines() {
    return logLines.load();
}

DatabaseColumnStructure::DatabaseColumnStructure(QString name, DataType type, int size,
                                                 QString defaultValue, QString description)
    : name(name), type(type), defaultValue(defaultValue), description(description),
      size(size), hostData{} {}

void DatabaseColumnStructure::insertSelectionValues(QString label, QString value) {
    selectionValues.append({label, value});
}

PluginInterface::PluginInterface() : hostPrivate{} {}
PluginInterface::~PluginInterface() = default;

bool PluginInterface::initPlugin(QString name, unsigned int number,
                                 QList<DatabaseColumnStructure> columns1,
                                 QList<DatabaseColumnStructure> columns2,
                                 QList<DatabaseColumnStructure> columns3,
                                 QList<DatabaseColumnStructure> columns4,
                                 const PluginInitOptions &) {
    ++alt_noru_init_calls;
    alt_noru_init_number = number;
    copyText(alt_noru_init_name, sizeof alt_noru_init_name, name.toUtf8());
    alt_noru_column_counts[0] = columns1.size();
    alt_noru_column_counts[1] = columns2.size();
    alt_noru_column_counts[2] = columns3.size();
    alt_noru_column_counts[3] = columns4.size();
    QByteArray names;
    for (const DatabaseColumnStructure &column : columns3)
        names += (names.isEmpty() ? "" : ",") + column.name.toUtf8();
    copyText(alt_noru_column_names, sizeof alt_noru_column_names, names);
    return true;
}

QList<NetworkInterfaceInstance> PluginInterface::getNetworkInterfaces() {
    return {};
}
QList<DeviceInstancePlugin> PluginInterface::getPluginDevices() {
    return {};
}
bool PluginInterface::addPluginItem(ItemInstancePlugin *) {
    return true;
}
bool PluginInterface::getPluginItem(QString, ItemInstancePlugin *) {
    return false;
}
QString PluginInterface::getSetting(QString) {
    return QString();
}
void PluginInterface::reloadPlugins() {}
void PluginInterface::watchdogAddHeartbeat(DeviceInstancePlugin *) {}
void PluginInterface::logDebug(QString) {
    ++logLines;
}
void PluginInterface::logInfo(QString) {
    ++logLines;
}
void PluginInterface::logWarning(QString) {
    ++logLines;
}
void PluginInterface::logError(QString) {
    ++logLines;
}
