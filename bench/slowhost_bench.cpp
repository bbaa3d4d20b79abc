// A host whose database is slow: every stored item takes --item-ms. One robot is read live
// while another announces 60 program variables; prints how long the reads and the stop took,
// and how old the live robot's values were. Not a test: timings are figures to compare, for
// example against an older build with --plugin.
#include "noru_standin.h"
#include "pluginhost.h"
#include "ursim.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QString pluginPath = QStringLiteral(UR_PLUGIN_PATH);
    int itemMs = 300, readFromMs = 4000, readForMs = 8000, stopAtMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option(argv[i]), value(argv[i + 1]);
        if (option == "--plugin")
            pluginPath = QString::fromLocal8Bit(value);
        else if (option == "--item-ms")
            itemMs = value.toInt();
        else if (option == "--read-for-ms")
            readForMs = value.toInt();
        else if (option == "--stop-at-ms")
            stopAtMs = value.toInt();
    }

    noru_standin::Host &host = noru_standin::Host::instance();
    QTemporaryDir files;
    host.setDataDirectory(files.path());
    host.setRecording(false);
    QElapsedTimer sinceInit;

    ursim::Simulator sim;
    ursim::RobotConfig live;
    live.address = QStringLiteral("127.9.30.1");
    live.stampSendTime = true;
    sim.addRobot(live);
    ursim::RobotConfig names;
    names.address = QStringLiteral("127.9.30.2");
    for (int i = 0; i < 60; ++i)
        names.variables << ursim::Variable{"v" + QByteArray::number(i), ursim::Value::integer(i)};
    sim.addRobot(names);
    if (!sim.start()) {
        std::fprintf(stderr, "cannot serve the robots on 127.9.30.1-2\n");
        return 1;
    }
    DeviceInstancePlugin liveDevice{}, namesDevice{};
    liveDevice.id = 1;
    liveDevice.address = live.address;
    liveDevice.errorWaitSeconds = 1;
    namesDevice.id = 2;
    namesDevice.address = names.address;
    namesDevice.errorWaitSeconds = 1;
    host.setDevices({liveDevice, namesDevice});
    host.setItemDelay(itemMs);

    QPluginLoader loader;
    QString error;
    NORUInterface *plugin = pluginhost::load(&loader, pluginPath, &error);
    if (!plugin) {
        std::fprintf(stderr, "cannot load %s: %s\n", qPrintable(pluginPath), qPrintable(error));
        return 1;
    }
    sinceInit.start();
    plugin->init();

    int reads = 0, failed = 0;
    int64_t oldestMs = 0, slowestReadMs = 0, firstReadMs = -1;
    // With --stop-at-ms nothing is read: the stop alone is measured.
    while (!stopAtMs && sinceInit.elapsed() < readFromMs + readForMs) {
        if (sinceInit.elapsed() < readFromMs) {
            QThread::msleep(10);
            continue;
        }
        auto list = pluginhost::readList(liveDevice, {QStringLiteral("force_x_1")});
        QElapsedTimer reading;
        reading.start();
        const bool ok = plugin->readData(list.get());
        const int64_t took = reading.elapsed();
        if (firstReadMs < 0)
            firstReadMs = took;
        slowestReadMs = std::max(slowestReadMs, took);
        ++reads;
        if (!ok) {
            ++failed;
        } else {
            const int64_t now = QDateTime::currentMSecsSinceEpoch() % 1000000;
            const int64_t sent = int64_t(list->items.first().values.value("value").toDouble());
            oldestMs = std::max(oldestMs, (now - sent + 1000000) % 1000000);
        }
        QThread::msleep(237); // out of step with the robot's 100 ms, to see every phase
    }
    while (stopAtMs && sinceInit.elapsed() < stopAtMs)
        QThread::msleep(10);
    const int64_t stopCalledAt = sinceInit.elapsed();
    QElapsedTimer stopping;
    stopping.start();
    plugin->stopPlugin();
    const int64_t stopMs = stopping.elapsed();
    std::printf("item %d ms: %d reads from %.1f s, %d failed; oldest good value %lld ms; first read "
                "%lld ms, slowest read %lld ms; stopPlugin at "
                "%.1f s took %lld ms\n",
                itemMs, reads, readFromMs / 1000.0, failed, (long long)oldestMs,
                (long long)firstReadMs,
                (long long)slowestReadMs, stopCalledAt / 1000.0, (long long)stopMs);
    sim.stop();
    return 0;
}
