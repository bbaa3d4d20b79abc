#include "ur_test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <dlfcn.h>

namespace ur_test {

QString PluginHarness::load() {
    QString error;
    return pluginhost::load(&loader, QStringLiteral(UR_PLUGIN_PATH), &error) ? QString() : error;
}

void *PluginHarness::symbol(const char *name) const {
    if (!loader.isLoaded())
        return nullptr;
    // RTLD_NOLOAD hands back the library QPluginLoader already loaded, never another copy.
    void *handle =
        dlopen(QFile::encodeName(loader.fileName()).constData(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return nullptr;
    void *address = dlsym(handle, name);
    dlclose(handle);
    return address;
}

PluginHarness::InstanceEntry PluginHarness::instanceEntry() const {
    return reinterpret_cast<InstanceEntry>(symbol("qt_plugin_instance"));
}

PluginHarness::MetadataEntry PluginHarness::metadataEntry() const {
    return reinterpret_cast<MetadataEntry>(symbol("qt_plugin_query_metadata"));
}

void PluginTest::SetUp() {
    host().reset();
    host().setLogListener(nullptr);
    ASSERT_TRUE(dataDirectory.isValid());
    host().setDataDirectory(dataDirectory.path());
    const QString error = harness.load();
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
}

void PluginTest::TearDown() {
    if (initCalled) {
        EXPECT_TRUE(plugin()->stopPlugin());
    }
    initCalled = false;
}

bool PluginTest::initPlugin() {
    initCalled = true;
    return plugin()->init();
}

DeviceInstancePlugin makeDevice(int id, const QString &address, const QString &name,
                                int errorWaitSeconds, const QMap<QString, QString> &settings,
                                int fillerItems) {
    DeviceInstancePlugin device{};
    device.id = id;
    device.address = address;
    device.name = name;
    device.errorWaitSeconds = errorWaitSeconds;
    device.settings = settings;
    for (int n = 0; n < fillerItems; ++n) {
        ItemInstancePlugin item{};
        item.uid = QStringLiteral("filler_%1_%2").arg(id).arg(n);
        item.name = item.uid;
        item.deviceId = id;
        device.items.append(item);
    }
    return device;
}

bool waitFor(const std::function<bool()> &predicate, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (predicate())
            return true;
        if (timer.hasExpired(timeoutMs))
            return false;
        QThread::msleep(2);
    }
}

} // namespace ur_test
