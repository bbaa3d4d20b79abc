// A slow host: every stored item takes --item-ms, every log line --log-ms. One robot is read
// live, the 39 default items and a program variable per cycle, while another announces 60
// program variables; prints how long the reads and the stop took, how many values each read
// returned and how old they were. --init-devices N measures init with N devices that have no
// identity items, and a read begun 200 ms after it; --readers K reads from K threads, 50 ms
// apart, until the stop. Not a test: timings are figures to compare, for example against an older build
// with --plugin.
#include "noru_standin.h"
#include "pluginhost.h"
#include "ursim.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const char *const defaultKeys[] = {
    "emergency_stopped", "protective_stopped", "program_running", "program_paused",
    "base_temperature", "base_current", "shoulder_temperature", "shoulder_current",
    "elbow_temperature", "elbow_current", "wrist1_temperature", "wrist1_current",
    "wrist2_temperature", "wrist2_current", "wrist3_temperature", "wrist3_current",
    "tool_analog_input_2", "tool_analog_input_3", "tool_output_voltage", "tool_current",
    "tool_temperature", "master_digital_input_bits", "master_digital_output_bits",
    "analog_input_0", "analog_input_1", "analog_output_0", "analog_output_1",
    "master_temperature", "master_voltage_48v", "master_robot_current", "master_io_current",
    "master_safety_mode", "master_reduced_mode", "force_x", "force_y", "force_z", "force_rx",
    "force_ry", "force_rz"};

// The 39 default items of the device and one program variable.
QStringList cycleUids(int id) {
    QStringList uids;
    for (const char *key : defaultKeys)
        uids << QString::fromLatin1(key) + QStringLiteral("_") + QString::number(id);
    uids << QStringLiteral("live_count");
    return uids;
}

struct Reads {
    QMutex lock;
    int count = 0, failed = 0, minValues = 1 << 30;
    int64_t values = 0, totalMs = 0, slowestMs = 0, firstMs = -1, oldestMs = 0;

    void read(NORUInterface *plugin, const DeviceInstancePlugin &device) {
        const QStringList uids = cycleUids(device.id);
        auto list = pluginhost::readList(device, uids);
        QElapsedTimer reading;
        reading.start();
        const bool ok = plugin->readData(list.get());
        const int64_t took = reading.elapsed();
        int got = 0;
        int64_t age = -1;
        for (const DataItem &item : list->items) {
            if (!uids.contains(item.item.uid) || !item.values.contains(QStringLiteral("value")))
                continue;
            ++got;
            if (item.item.uid.startsWith(QLatin1String("force_x_"))) {
                const int64_t now = QDateTime::currentMSecsSinceEpoch() % 1000000;
                const int64_t sent = int64_t(item.values.value("value").toDouble());
                age = (now - sent + 1000000) % 1000000;
            }
        }
        QMutexLocker locker(&lock);
        if (firstMs < 0)
            firstMs = took;
        ++count;
        totalMs += took;
        slowestMs = std::max(slowestMs, took);
        if (!ok) {
            ++failed;
            return;
        }
        values += got;
        minValues = std::min(minValues, got);
        oldestMs = std::max(oldestMs, age);
    }
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QString pluginPath = QStringLiteral(UR_PLUGIN_PATH);
    int itemMs = 300, logMs = 0, readFromMs = 4000, readForMs = 8000, stopAtMs = 0;
    int initDevices = 0, readers = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option(argv[i]), value(argv[i + 1]);
        if (option == "--plugin")
            pluginPath = QString::fromLocal8Bit(value);
        else if (option == "--item-ms")
            itemMs = value.toInt();
        else if (option == "--log-ms")
            logMs = value.toInt();
        else if (option == "--read-for-ms")
            readForMs = value.toInt();
        else if (option == "--stop-at-ms")
            stopAtMs = value.toInt();
        else if (option == "--init-devices")
            initDevices = value.toInt();
        else if (option == "--readers")
            readers = value.toInt();
    }

    noru_standin::Host &host = noru_standin::Host::instance();
    QTemporaryDir files;
    host.setDataDirectory(files.path());
    host.setRecording(false);
    std::atomic<int> lines{0};
    QStringList notices;
    QMutex noticesLock;
    host.setLogListener([&](const noru_standin::LogLine &line) {
        ++lines;
        if (line.message.contains(QLatin1String("were dropped")) ||
            line.message.startsWith(QLatin1String("Stopped before"))) {
            QMutexLocker locker(&noticesLock);
            notices << line.message.section(QLatin1Char(' '), 0, 4);
        }
    });
    QElapsedTimer sinceInit;

    ursim::Simulator sim;
    ursim::RobotConfig live;
    live.address = QStringLiteral("127.9.30.1");
    live.stampSendTime = true;
    live.variables << ursim::Variable{"live_count", ursim::Value::integer(7)};
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
    QList<DeviceInstancePlugin> devices{liveDevice, namesDevice};
    // Devices beyond the two robots: nothing listens at their addresses.
    for (int id = 3; id <= initDevices; ++id) {
        DeviceInstancePlugin device{};
        device.id = id;
        device.address = QStringLiteral("127.9.30.%1").arg(id);
        device.errorWaitSeconds = 1;
        devices << device;
    }
    host.setDevices(devices);
    host.setItemDelay(itemMs);
    host.setLogDelay(logMs);

    QPluginLoader loader;
    QString error;
    NORUInterface *plugin = pluginhost::load(&loader, pluginPath, &error);
    if (!plugin) {
        std::fprintf(stderr, "cannot load %s: %s\n", qPrintable(pluginPath), qPrintable(error));
        return 1;
    }

    if (initDevices > 0) {
        // init on a host thread; a read of the live robot begun 200 ms later on another.
        sinceInit.start();
        std::atomic<int64_t> initMs{-1};
        std::thread initThread([&] {
            plugin->init();
            initMs = sinceInit.elapsed();
        });
        QThread::msleep(200);
        auto list = pluginhost::readList(liveDevice, cycleUids(1));
        QElapsedTimer reading;
        reading.start();
        const bool ok = plugin->readData(list.get());
        const int64_t readMs = reading.elapsed();
        initThread.join();
        std::printf("%d devices, item %d ms, log %d ms: init took %lld ms; a read begun 200 ms "
                    "after init returned %s after %lld ms\n",
                    initDevices, itemMs, logMs, (long long)initMs.load(),
                    ok ? "true" : "false", (long long)readMs);
        plugin->stopPlugin();
        sim.stop();
        return 0;
    }

    sinceInit.start();
    plugin->init();

    Reads reads;
    std::atomic<bool> reading{true};
    std::vector<std::thread> readerThreads;
    for (int r = 0; r < readers; ++r)
        readerThreads.emplace_back([&] {
            while (reading.load()) {
                if (sinceInit.elapsed() >= readFromMs)
                    reads.read(plugin, liveDevice);
                QThread::msleep(50); // a host reads now and then, not in a tight loop
            }
        });
    // Without reading threads the main thread reads, out of step with the robot's 100 ms;
    // with --stop-at-ms and no readers nothing is read: the stop alone is measured.
    while (!readers && !stopAtMs && sinceInit.elapsed() < readFromMs + readForMs) {
        if (sinceInit.elapsed() < readFromMs) {
            QThread::msleep(10);
            continue;
        }
        reads.read(plugin, liveDevice);
        QThread::msleep(237);
    }
    while ((readers || stopAtMs) && sinceInit.elapsed() < (stopAtMs ? stopAtMs : readFromMs + readForMs))
        QThread::msleep(10);
    const int64_t stopCalledAt = sinceInit.elapsed();
    const int linesBeforeStop = lines.load();
    QElapsedTimer stopping;
    stopping.start();
    plugin->stopPlugin();
    const int64_t stopMs = stopping.elapsed();
    // Told at once: readers of an older build may take minutes to come back.
    std::printf("stopPlugin at %.1f s took %lld ms\n", stopCalledAt / 1000.0, (long long)stopMs);
    std::fflush(stdout);
    reading = false;
    for (std::thread &thread : readerThreads)
        thread.join();
    std::printf("item %d ms, log %d ms, %d reading threads: %d reads from %.1f s, %d failed; "
                "read time mean %lld ms, slowest %lld ms, first %lld ms; values per good read "
                "mean %.1f, fewest %d of 40; oldest good force_x %lld ms; stopPlugin at %.1f s "
                "took %lld ms (%d log lines during it); notices: %s\n",
                itemMs, logMs, readers, reads.count, readFromMs / 1000.0, reads.failed,
                (long long)(reads.count ? reads.totalMs / reads.count : 0),
                (long long)reads.slowestMs, (long long)reads.firstMs,
                reads.count > reads.failed ? double(reads.values) / (reads.count - reads.failed)
                                           : 0.0,
                reads.count > reads.failed ? reads.minValues : 0, (long long)reads.oldestMs,
                stopCalledAt / 1000.0, (long long)stopMs, lines.load() - linesBeforeStop,
                qPrintable(notices.join(QStringLiteral("; "))));
    sim.stop();
    return 0;
}
