// End-to-end test support: loads libuniversal_robot.so as the host does into a process bound
// to our stand-in libnoru.so.1, with helpers for devices, read-cycle lists and waiting. Link
// `ur_test_support`; it brings the stand-in and the test main.
#pragma once

#include "noru_standin.h"
#include "noruplugin.h"
#include "pluginhost.h"

#include <QMap>
#include <QObject>
#include <QPluginLoader>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace ur_test {

// The built plug-in, loaded as the host loads it.
class PluginHarness {
public:
    using InstanceEntry = QObject *(*)();
    using MetadataEntry = const char *(*)();

    // The built libuniversal_robot.so; an empty text, or why it could not be loaded.
    QString load();
    QObject *object() { return loader.instance(); }
    NORUInterface *plugin() { return qobject_cast<NORUInterface *>(object()); }

    // Raw entry points of the loaded library (null before load()).
    InstanceEntry instanceEntry() const;
    MetadataEntry metadataEntry() const;

private:
    void *symbol(const char *name) const;

    QPluginLoader loader;
};

// Resets the stand-in and gives it a fresh data directory, loads the plug-in, and calls
// stopPlugin() after a test that called initPlugin().
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    bool initPlugin(); // plugin()->init(), remembered for TearDown
    NORUInterface *plugin() { return harness.plugin(); }
    static noru_standin::Host &host() { return noru_standin::Host::instance(); }

    PluginHarness harness;
    QTemporaryDir dataDirectory;

private:
    bool initCalled = false;
};

// A value-initialised device; fillerItems adds that many items ("filler_<id>_<n>") to it.
DeviceInstancePlugin makeDevice(int id, const QString &address, const QString &name = QString(),
                                int errorWaitSeconds = 0,
                                const QMap<QString, QString> &settings = {}, int fillerItems = 0);

// A read-cycle list for the device, built as the host builds it.
using pluginhost::readList;

// Polls the predicate every few milliseconds until it holds or timeoutMs has passed.
bool waitFor(const std::function<bool()> &predicate, int timeoutMs = 20000);

// Steps this process's time of day (not its monotonic clock) by seconds, either way. The
// test executable must export its symbols (ENABLE_EXPORTS) for the plug-in to see it.
void stepTimeOfDay(int64_t seconds);

} // namespace ur_test

// Readable QString values in GoogleTest failure messages.
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}
