// Another libnoru.so.1, declared from the host library's binary interface alone, takes the
// place of our stand-in: the unchanged plug-in binds to it by soname and registers there.
#include "noruplugin.h"

#include <QPluginLoader>

#include <gtest/gtest.h>

extern QString altNoruRegistrations; // in the alternative libnoru.so.1

namespace {

TEST(FoundationReplacement, PluginRegistersThroughAnotherHostLibrary) {
    QPluginLoader loader(QStringLiteral(UR_PLUGIN_PATH));
    ASSERT_TRUE(loader.load()) << loader.errorString().toStdString();
    NORUInterface *plugin = qobject_cast<NORUInterface *>(loader.instance());
    ASSERT_NE(plugin, nullptr);
    ASSERT_TRUE(plugin->init());
    EXPECT_EQ(altNoruRegistrations,
              "universal_robot 7 version,timeout_ms,network_interface,tcp_ports;");
    EXPECT_TRUE(plugin->stopPlugin());
}

} // namespace
