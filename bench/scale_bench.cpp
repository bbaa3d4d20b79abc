// Scale benchmark: one plug-in worker reading many simulated robots.
//
// ur-sim serves N robots at 10 Hz on N loopback addresses, in a process of its own, and
// stamps each robot state with its send time (force_x: milliseconds since the epoch modulo
// 1,000,000). This process loads the plug-in as the host does and reads every robot once a
// second from a few host threads, and reports how old the values are when readData returns
// them, the worker thread's CPU share, and this process's memory. Robots that never answer
// (listeners whose accept queue is full, so connection attempts are dropped) and silent ones
// (accept, never send) can be added to the live ones; ur-sim serves them too, so that this
// process holds no descriptors but the plug-in's.
//
// The open-file limit is left as it is: a host runs with the usual soft limit of 1024, and
// coping with it is the plug-in's business (scripts/bench-scale.sh sets it).
//
//     bench_scale --live N [--dead M] [--silent K] [--seconds 20] [--header]
//
// One configuration per process, so that the memory figure is this configuration's alone;
// scripts/bench-scale.sh runs the whole table.
#include "noru_standin.h"
#include "noruplugin.h"
#include "pluginhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

QString addressAt(int base2, int index) // 127.base2.x.y, skipping .0 and .255
{
    return QStringLiteral("127.%1.%2.%3").arg(base2).arg(index / 250).arg(index % 250 + 1);
}

// CPU seconds used so far by the thread with this name.
double threadCpuSeconds(const QString &name) {
    const long ticks = sysconf(_SC_CLK_TCK);
    for (const QString &task :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name.toLatin1())
            continue;
        QFile stat("/proc/self/task/" + task + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // After the command: state is field 0, utime field 11, stime field 12.
        return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(ticks);
    }
    return 0;
}

long rssKb(const char *key) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(strlen(key))).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

struct Result {
    int live = 0;
    int dead = 0;
    int silent = 0;
    double medianAge = 0;
    double p99Age = 0;
    double workerShare = 0;
    long rss = 0;
    long samples = 0;
    long failures = 0;
    QMap<QString, int> failureTexts;
    QString error; // the run did not happen
};

double percentile(std::vector<int64_t> &values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return double(values[index]);
}

// A ur-sim process, stopped when this goes.
class SimProcess {
public:
    ~SimProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(10000);
        }
    }

    // Starts ur-sim and waits until it serves, which its summary line tells; false if it
    // does not come up.
    bool start(const QString &program, const QStringList &args, const QString &outputPath) {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Its event lines go to a file: a pipe that nobody reads fills up and stalls it.
        process.setStandardOutputFile(outputPath);
        process.start(program, args);
        if (!process.waitForStarted())
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 120000) {
            QFile output(outputPath);
            if (output.open(QIODevice::ReadOnly) && output.readAll().contains(" robot(s) "))
                return true;
            if (process.waitForFinished(50))
                return false;
        }
        return false;
    }

private:
    QProcess process;
};

class Bench {
public:
    Bench(NORUInterface *plugin, QString simPath) : plugin(plugin), simPath(std::move(simPath)) {}

    Result run(int live, int dead, int silentCount, int seconds) {
        noru_standin::Host &host = noru_standin::Host::instance();
        host.reset();

        QTemporaryDir outputs;
        // Robots that send at 10 Hz, stamping each robot state with its send time.
        SimProcess sim;
        QStringList simArgs = {"--rate", "10", "--stamp", "--static"};
        for (int i = 0; i < live; ++i)
            simArgs << "--address" << addressAt(11, i);
        // Robots that never answer.
        SimProcess unreachable;
        QStringList unreachableArgs = {"--scenario", "unreachable"};
        for (int i = 0; i < dead; ++i)
            unreachableArgs << "--address" << addressAt(12, i);
        // Robots that accept connections and never send.
        SimProcess silent;
        QStringList silentArgs = {"--scenario", "silent"};
        for (int i = 0; i < silentCount; ++i)
            silentArgs << "--address" << addressAt(13, i);
        if ((live > 0 && !sim.start(simPath, simArgs, outputs.filePath("live.txt"))) ||
            (dead > 0 &&
             !unreachable.start(simPath, unreachableArgs, outputs.filePath("dead.txt"))) ||
            (silentCount > 0 &&
             !silent.start(simPath, silentArgs, outputs.filePath("silent.txt")))) {
            Result failed;
            failed.error = QStringLiteral("ur-sim did not come up");
            return failed;
        }

        QList<DeviceInstancePlugin> devices;
        for (int i = 0; i < live + dead + silentCount; ++i) {
            DeviceInstancePlugin device{};
            device.id = i + 1;
            device.address = i < live          ? addressAt(11, i)
                             : i < live + dead ? addressAt(12, i - live)
                                               : addressAt(13, i - live - dead);
            device.name = QStringLiteral("Robot %1").arg(i + 1);
            device.errorWaitSeconds = 5;
            devices << device;
        }
        host.setDevices(devices);
        // A host does not keep every call, nor linger in it as the stand-in does for tests.
        const bool showErrors = qEnvironmentVariableIsSet("UR_BENCH_ERRORS");
        host.setRecording(showErrors);
        plugin->init();

        // Warm up: every live robot has delivered data, and the backlog that the robots
        // connected first have built up during the set-up pass is read away.
        for (int i = 0; i < live; ++i)
            readOnce(devices.at(i), nullptr, nullptr);
        for (int s = 0; s < 25; ++s) {
            QThread::msleep(200);
            host.clearRecords();
        }

        std::atomic<bool> stop{false};
        std::mutex agesMutex;
        std::vector<int64_t> ages;
        std::atomic<long> failures{0};
        QMap<QString, int> failureTexts;
        const int threads = 4;
        std::vector<std::thread> readers;
        const double cpuBefore = threadCpuSeconds("ur-worker");
        QElapsedTimer wall;
        wall.start();
        for (int t = 0; t < threads; ++t) {
            readers.emplace_back([&, t] {
                std::vector<int64_t> mine;
                while (!stop.load()) {
                    const int64_t passStart = nowMs();
                    for (int i = t; i < live && !stop.load(); i += threads) {
                        int64_t age = 0;
                        QString error;
                        if (readOnce(devices.at(i), &age, &error)) {
                            mine.push_back(age);
                        } else {
                            failures.fetch_add(1);
                            std::lock_guard<std::mutex> lock(agesMutex);
                            failureTexts[error] += 1;
                        }
                    }
                    // Each robot is read once a second, as a host's read interval would.
                    while (!stop.load() && nowMs() - passStart < 1000)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::lock_guard<std::mutex> lock(agesMutex);
                ages.insert(ages.end(), mine.begin(), mine.end());
            });
        }
        for (int s = 0; s < seconds * 5; ++s) {
            QThread::msleep(200);
            if (showErrors) {
                for (const noru_standin::LogLine &line : host.logs())
                    if (line.level == "error" || line.message.startsWith("Reconnecting"))
                        std::fprintf(stderr, "%s\n", qPrintable(line.message));
            }
            host.clearRecords(); // the stand-in keeps every log line otherwise
        }
        stop.store(true);
        for (std::thread &reader : readers)
            reader.join();
        const double cpu = threadCpuSeconds("ur-worker") - cpuBefore;

        Result result;
        result.live = live;
        result.dead = dead;
        result.silent = silentCount;
        result.samples = long(ages.size());
        result.failures = failures.load();
        result.failureTexts = failureTexts;
        result.workerShare = cpu / (double(wall.elapsed()) / 1000.0);
        result.rss = rssKb("VmRSS:");
        result.medianAge = percentile(ages, 0.5);
        result.p99Age = percentile(ages, 0.99);

        plugin->stopPlugin();
        host.clearRecords();
        return result;
    }

private:
    bool readOnce(const DeviceInstancePlugin &device, int64_t *age, QString *error) {
        const auto list =
            pluginhost::readList(device, {QStringLiteral("force_x_%1").arg(device.id)});
        if (!plugin->readData(list.get())) {
            if (error)
                *error = list->errorText;
            return false;
        }
        const QString value = list->items.first().values.value("value");
        if (value.isEmpty()) {
            if (error)
                *error = QStringLiteral("no value");
            return false;
        }
        if (age)
            *age = ((nowMs() % 1000000) - int64_t(value.toDouble()) + 1000000) % 1000000;
        return true;
    }

    NORUInterface *plugin;
    QString simPath;
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    int live = 10;
    int dead = 0;
    int silent = 0;
    int seconds = 20;
    bool header = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == "--live") {
            live = next.toInt();
            ++i;
        } else if (args[i] == "--dead") {
            dead = next.toInt();
            ++i;
        } else if (args[i] == "--silent") {
            silent = next.toInt();
            ++i;
        } else if (args[i] == "--seconds") {
            seconds = next.toInt();
            ++i;
        } else if (args[i] == "--header") {
            header = true;
        }
    }

    QTemporaryDir dataDirectory;
    noru_standin::Host::instance().setDataDirectory(dataDirectory.path());
    QPluginLoader loader;
    QString loadError;
    NORUInterface *plugin = pluginhost::load(&loader, QStringLiteral(UR_PLUGIN_PATH), &loadError);
    if (!plugin) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", qPrintable(loadError));
        return 1;
    }
    Bench bench(plugin, QStringLiteral(UR_SIM_PATH));

    if (header) {
        std::printf("| live robots | dead robots | silent robots | value age median (ms) | "
                    "value age p99 (ms) | worker CPU (%% of one core) | process RSS (MiB) | reads "
                    "| failed reads |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|\n");
    }
    const Result r = bench.run(live, dead, silent, seconds);
    if (!r.error.isEmpty()) {
        std::fprintf(stderr, "bench_scale: %s\n", qPrintable(r.error));
        return 1;
    }
    std::printf("| %d | %d | %d | %.0f | %.0f | %.1f | %.1f | %ld | %ld |\n", r.live, r.dead,
                r.silent, r.medianAge, r.p99Age, 100.0 * r.workerShare, double(r.rss) / 1024.0,
                r.samples, r.failures);
    for (auto it = r.failureTexts.cbegin(); it != r.failureTexts.cend(); ++it)
        std::fprintf(stderr, "  failed reads: %d x \"%s\"\n", it.value(), qPrintable(it.key()));
    return 0;
}
