// Another libnoru.so.1, written from the host library's binary interface alone, takes the
// place of our stand-in: the unchanged plug-in binds to it by soname and registers there.
#include "alt_noru.h"
#include "noruplugin.h"

#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

namespace {

QString libraryOf(const void *address) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
}

int loadedHostLibraries() {
    int count = 0;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            if (info->dlpi_name && QFileInfo(QString::fromLocal8Bit(info->dlpi_name))
                                       .fileName()
                                       .startsWith("libnoru.so"))
                ++*static_cast<int *>(data);
            return 0;
        },
        &count);
    return count;
}

TEST(FoundationReplacement, PluginRegistersThroughAnotherHostLibrary) {
    const QString altDirectory = QDir(QStringLiteral(ALT_NORU_DIR)).canonicalPath();
    ASSERT_EQ(QFileInfo(libraryOf(&alt_noru_init_calls)).canonicalPath(), altDirectory);

    QPluginLoader loader(QStringLiteral(UR_PLUGIN_PATH));
    ASSERT_TRUE(loader.load()) << loader.errorString().toStdString();
    NORUInterface *plugin = qobject_cast<NORUInterface *>(loader.instance());
    ASSERT_NE(plugin, nullptr);

    // The plug-in's host calls resolve into the one libnoru.so.1 already in the process.
    EXPECT_EQ(loadedHostLibraries(), 1);
    const void *logDebug = dlsym(RTLD_DEFAULT, "_ZN15PluginInterface8logDebugE7QString");
    ASSERT_NE(logDebug, nullptr);
    EXPECT_EQ(QFileInfo(libraryOf(logDebug)).canonicalPath(), altDirectory);

    const int linesBefore = alt_noru_log_lines();
    ASSERT_TRUE(plugin->init());
    EXPECT_EQ(alt_noru_init_calls, 1);
    EXPECT_STREQ(alt_noru_init_name, "universal_robot");
    EXPECT_EQ(alt_noru_init_number, 7u);
    EXPECT_EQ(alt_noru_column_counts[0], 0);
    EXPECT_EQ(alt_noru_column_counts[1], 0);
    EXPECT_EQ(alt_noru_column_counts[2], 4);
    EXPECT_EQ(alt_noru_column_counts[3], 0);
    EXPECT_STREQ(alt_noru_column_names, "version,timeout_ms,network_interface,tcp_ports");
    EXPECT_GT(alt_noru_log_lines(), linesBefore); // "Init UR app" at least

    EXPECT_TRUE(plugin->stopPlugin());
}

} // namespace
