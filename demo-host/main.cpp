// ur-host: loads libuniversal_robot.so as the data-logging platform does, configures robots,
// and prints each read cycle. Without --robot it serves a simulated robot on loopback.
#include "diagnose.h"
#include "noru_standin.h"
#include "noruplugin.h"
#include "pluginhost.h"
#include "ursim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested.store(true);
}

const QString embeddedRobotAddress = QStringLiteral("127.0.10.1");

QTextStream &out() {
    static QTextStream stream(stdout);
    return stream;
}

QString locatePlugin(const QString &given) {
    if (!given.isEmpty())
        return given;
    const QString besideBinary = QCoreApplication::applicationDirPath() +
                                 QStringLiteral("/../plugins/libuniversal_robot.so");
    if (QFileInfo::exists(besideBinary))
        return besideBinary;
    const QString installed = QCoreApplication::applicationDirPath() +
                              QStringLiteral("/../lib/noru/plugins/libuniversal_robot.so");
    if (QFileInfo::exists(installed))
        return installed;
    return QStringLiteral(UR_BUILT_PLUGIN_PATH);
}

int levelRank(const QString &level) {
    static const QStringList levels = {"debug", "info", "warning", "error", "none"};
    const int rank = levels.indexOf(level);
    return rank < 0 ? 1 : rank;
}

void printRegistration(const noru_standin::Host &host) {
    const QList<noru_standin::InitPluginCall> calls = host.initPluginCalls();
    if (calls.isEmpty())
        return;
    const noru_standin::InitPluginCall &call = calls.last();
    out() << "Plug-in registered as \"" << call.name << "\" (" << call.number
          << ") with columns:\n";
    for (const DatabaseColumnStructure &column : call.columns[2]) {
        out() << "  " << column.name << " (default \"" << column.defaultValue << "\")";
        QStringList choices;
        for (const auto &choice : column.selectionValues) {
            if (!choice.label.startsWith(QLatin1String("__")))
                choices << choice.label;
        }
        if (!choices.isEmpty())
            out() << ": " << choices.join(QStringLiteral(", "));
        out() << "\n";
    }
    out().flush();
}

// The items the host reads for a device: every item it has for it now, plus extra uids.
std::unique_ptr<LogList> makeCycle(const DeviceInstancePlugin &device, const QStringList &extra) {
    QStringList uids;
    for (const ItemInstancePlugin &item : device.items)
        uids << item.uid;
    for (const QString &uid : extra) {
        if (!uids.contains(uid))
            uids << uid;
    }
    return pluginhost::readList(device, uids);
}

void printTable(const DeviceInstancePlugin &device, const LogList &list, int cycle) {
    out() << "\n== Cycle " << cycle << "  "
          << QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
          << " UTC  robot " << device.id << " \"" << device.name << "\" " << device.address << "\n";
    int width = 4;
    for (const DataItem &item : list.items)
        width = qMax(width, item.item.name.size());
    out() << "  " << QStringLiteral("Item").leftJustified(width + 2) << "Value\n";
    for (const DataItem &item : list.items) {
        const QString value = item.values.contains(QStringLiteral("value"))
                                  ? item.values.value(QStringLiteral("value"))
                                  : QStringLiteral("-");
        out() << "  " << item.item.name.leftJustified(width + 2) << value;
        if (!item.item.unit.isEmpty())
            out() << " " << item.item.unit;
        out() << "\n";
    }
    out().flush();
}

void appendCsv(QFile &file, const DeviceInstancePlugin &device, const LogList &list) {
    QTextStream csv(&file);
    csv.setCodec("UTF-8");
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    for (const DataItem &item : list.items) {
        if (!item.values.contains(QStringLiteral("value")))
            continue;
        QString value = item.values.value(QStringLiteral("value"));
        value.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        csv << now << ',' << device.address << ',' << item.item.uid << ",\"" << value << "\"\n";
    }
}

void sleepUnlessStopped(double seconds) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    while (!stopRequested.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ur-host"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Loads the Universal Robots plug-in as the data-logging host does and prints "
            "live values. Without --robot it reads a simulated robot that it serves "
            "itself on ") +
        embeddedRobotAddress + QStringLiteral(" port 30001."));
    parser.addHelpOption();
    parser.addOptions({
        {"robot",
         "Robot controller address, optionally with a device id: ADDRESS or ADDRESS@ID. "
         "Repeatable.",
         "address"},
        {"item",
         "Also read the item with this uid (a program variable, message title or value on "
         "request, e.g. program_running_seconds_1). "
         "Repeatable.",
         "uid"},
        {"interval", "Seconds between read cycles (default 1).", "seconds", "1"},
        {"cycles", "Stop after this many read cycles (default: until Ctrl-C).", "count", "0"},
        {"csv",
         "Append timestamp, device, item and value rows to this file instead of printing "
         "tables.",
         "file"},
        {"plugin", "Path of libuniversal_robot.so (default: the built one).", "path"},
        {"data-dir", "Directory for the plug-in's files (default: the user's data directory).",
         "dir"},
        {"version",
         "The device setting \"version\": 0 Auto, 1 up to 3.2, 2 3.3 to 5.8, 3 5.9 and "
         "up (default 0).",
         "n", "0"},
        {"error-wait", "Seconds to wait after a failed connection (default 5).", "seconds", "5"},
        {"log",
         "Show plug-in log lines from this level on: debug, info, warning, error, none "
         "(default info).",
         "level", "info"},
        {"diagnose",
         "Tell within about 5 seconds why a robot can or cannot be read: connects to port "
         "30001 of the address, reports what arrives, and exits 0 only when a controller is "
         "streaming.",
         "address"},
    });
    parser.process(app);

    if (parser.isSet("diagnose")) {
        // The decoder keeps program variable names in a file: a scratch directory of its own.
        QTemporaryDir scratch;
        noru_standin::Host::instance().setDataDirectory(scratch.path());
        return diagnosis::run(parser.value("diagnose"), out());
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    noru_standin::Host &host = noru_standin::Host::instance();
    QString dataDir = parser.value("data-dir");
    if (dataDir.isEmpty())
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dataDir);
    host.setDataDirectory(dataDir);

    const int minimumLevel = levelRank(parser.value("log"));
    host.setLogListener([minimumLevel](const noru_standin::LogLine &line) {
        if (levelRank(line.level) >= minimumLevel)
            std::fprintf(stderr, "[%s] %s\n", qPrintable(line.level), qPrintable(line.message));
    });

    // Robots: the ones given, or one simulated robot served here.
    std::unique_ptr<ursim::Simulator> simulator;
    QList<DeviceInstancePlugin> devices;
    QStringList robots = parser.values("robot");
    if (robots.isEmpty()) {
        ursim::raiseFileLimit();
        simulator = std::make_unique<ursim::Simulator>();
        simulator->addRobot(ursim::RobotConfig::realistic(embeddedRobotAddress));
        if (!simulator->start()) {
            std::fprintf(stderr, "Could not serve the simulated robot on %s: %s\n",
                         qPrintable(embeddedRobotAddress),
                         qPrintable(simulator->robot(0).lastError()));
            return 1;
        }
        out() << "Serving a simulated robot on " << embeddedRobotAddress << " port 30001\n";
        robots << embeddedRobotAddress + QStringLiteral("@1");
    }
    int nextId = 1;
    for (const QString &robotArgument : robots) {
        DeviceInstancePlugin device{};
        const int at = robotArgument.lastIndexOf(QLatin1Char('@'));
        device.address = at > 0 ? robotArgument.left(at) : robotArgument;
        device.id = at > 0 ? robotArgument.mid(at + 1).toInt() : nextId;
        if (device.id < 1)
            device.id = nextId;
        nextId = device.id + 1;
        device.name = simulator ? QStringLiteral("Simulated robot")
                                : QStringLiteral("Robot ") + QString::number(device.id);
        device.errorWaitSeconds = parser.value("error-wait").toInt();
        device.settings.insert(QStringLiteral("version"), parser.value("version"));
        devices << device;
    }
    host.setDevices(devices);

    QPluginLoader loader;
    QString loadError;
    NORUInterface *plugin =
        pluginhost::load(&loader, locatePlugin(parser.value("plugin")), &loadError);
    if (!plugin) {
        std::fprintf(stderr, "Could not load the plug-in %s: %s\n", qPrintable(loader.fileName()),
                     qPrintable(loadError));
        return 1;
    }
    out() << "Loaded " << loader.fileName() << "\n";

    plugin->init();
    printRegistration(host);
    out() << "Reading " << devices.size() << " robot(s) every " << parser.value("interval")
          << " s; Ctrl-C stops.\n";
    out().flush();

    QFile csvFile(parser.value("csv"));
    if (parser.isSet("csv") && !csvFile.open(QIODevice::Append | QIODevice::Text)) {
        std::fprintf(stderr, "Could not open %s: %s\n", qPrintable(csvFile.fileName()),
                     qPrintable(csvFile.errorString()));
        plugin->stopPlugin();
        return 1;
    }

    const QStringList extraItems = parser.values("item");
    const int cycles = parser.value("cycles").toInt();
    const double interval = qMax(0.05, parser.value("interval").toDouble());
    int failures = 0;

    // The worker registers each robot's default items a few seconds after init; show them
    // from the first cycle on.
    const auto itemsDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stopRequested.load() && std::chrono::steady_clock::now() < itemsDeadline) {
        bool ready = true;
        for (const DeviceInstancePlugin &current : host.devices())
            ready = ready && current.items.size() > 3;
        if (ready)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // The host reads on a thread of its own, as the platform does.
    std::thread reader([&] {
        for (int cycle = 1; !stopRequested.load() && (cycles <= 0 || cycle <= cycles); ++cycle) {
            for (const DeviceInstancePlugin &configured : devices) {
                if (stopRequested.load())
                    break;
                DeviceInstancePlugin device = configured;
                for (const DeviceInstancePlugin &current : host.devices()) {
                    if (current.id == configured.id)
                        device = current;
                }
                auto list = makeCycle(device, extraItems);
                if (!plugin->readData(list.get())) {
                    ++failures;
                    out() << "\n== Cycle " << cycle << "  robot " << device.id << " "
                          << device.address << ": " << list->errorText << "\n";
                    out().flush();
                    continue;
                }
                if (csvFile.isOpen()) {
                    appendCsv(csvFile, device, *list);
                    csvFile.flush();
                } else {
                    printTable(device, *list, cycle);
                }
            }
            if (cycles <= 0 || cycle < cycles)
                sleepUnlessStopped(interval);
        }
    });
    reader.join();

    out() << "\nStopping the plug-in\n";
    out().flush();
    plugin->stopPlugin();
    if (simulator)
        simulator->stop();
    return failures == 0 ? 0 : 2;
}
