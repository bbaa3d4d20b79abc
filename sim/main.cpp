// ur-sim: serves simulated Universal Robots controllers on loopback addresses until
// interrupted (SIGINT or SIGTERM).
#include "ursim.h"

#include <QFile>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {

void usage(FILE *to) {
    std::fprintf(
        to, "usage: ur-sim [--address 127.0.0.1]... [--count N --base-address 127.0.1.1]\n"
            "              [--rate HZ] [--version 5.12] [--project NAME]\n"
            "              [--scenario normal|silent|refuse|unreachable|close-after:N|"
            "raw-file:PATH|split:K:MS|\n"
            "                      stop-after:N|trickle:LENGTH|flood]\n"
            "              [--static] [--stamp]\n"
            "Serves Universal Robots controller streams on port 30001 of loopback addresses.\n"
            "  --address A        serve a robot on A (repeatable; default 127.0.0.1)\n"
            "  --count N          serve N robots on consecutive addresses from --base-address\n"
            "  --base-address A   first address for --count (default 127.0.1.1)\n"
            "  --rate HZ          robot state messages per second (default 10)\n"
            "  --version M.m      controller software version (default 5.12)\n"
            "  --project NAME     project name of the version message (default URControl)\n"
            "  --scenario S       normal; silent (accept, send nothing); refuse (no "
            "listener);\n"
            "                     unreachable (never answer: connection attempts time out);\n"
            "                     close-after:N (close after N messages); raw-file:PATH "
            "(send the\n"
            "                     file's bytes on every tick); split:K:MS (K-byte pieces MS "
            "ms apart);\n"
            "                     stop-after:N (silent after N messages, connection kept); "
            "trickle:LENGTH\n"
            "                     (a header of LENGTH bytes, then one byte a tick); flood "
            "(5-byte robot\n"
            "                     states as fast as taken)\n"
            "  --static           send fixed values instead of an animated robot\n"
            "  --stamp            put the send time (ms since epoch mod 1e6) into force_x\n");
}

[[noreturn]] void fail(const QString &text) {
    std::fprintf(stderr, "ur-sim: %s\n", qPrintable(text));
    std::exit(2);
}

int toInt(const QString &text, const char *what) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < 0)
        fail(QStringLiteral("bad %1: %2").arg(QString::fromLatin1(what), text));
    return v;
}

ursim::Scenario parseScenario(const QString &text) {
    const QStringList parts = text.split(QLatin1Char(':'));
    const QString &kind = parts.first();
    if (kind == QLatin1String("normal") && parts.size() == 1)
        return ursim::Scenario::normal();
    if (kind == QLatin1String("silent") && parts.size() == 1)
        return ursim::Scenario::silent();
    if (kind == QLatin1String("refuse") && parts.size() == 1)
        return ursim::Scenario::refuse();
    if (kind == QLatin1String("close-after") && parts.size() == 2)
        return ursim::Scenario::closeAfter(toInt(parts.at(1), "message count"));
    if (kind == QLatin1String("stop-after") && parts.size() == 2)
        return ursim::Scenario::stopAfter(toInt(parts.at(1), "message count"));
    if (kind == QLatin1String("trickle") && parts.size() == 2)
        return ursim::Scenario::trickle(toInt(parts.at(1), "length"));
    if (kind == QLatin1String("flood") && parts.size() == 1)
        return ursim::Scenario::flood();
    if (kind == QLatin1String("split") && parts.size() == 3) {
        const int piece = toInt(parts.at(1), "piece size");
        if (piece < 1)
            fail(QStringLiteral("piece size must be at least 1"));
        return ursim::Scenario::split(piece, toInt(parts.at(2), "pause"));
    }
    if (kind == QLatin1String("raw-file") && parts.size() >= 2) {
        const QString path = text.mid(int(std::strlen("raw-file:")));
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
        return ursim::Scenario::replay(f.readAll());
    }
    fail(QStringLiteral("unknown scenario: ") + text);
}

QString nextAddress(const QString &address) {
    in_addr a{};
    if (::inet_pton(AF_INET, address.toLatin1().constData(), &a) != 1)
        fail(QStringLiteral("bad address: ") + address);
    const uint32_t host = ntohl(a.s_addr) + 1;
    if ((host >> 24) != 127)
        fail(QStringLiteral("addresses run past 127.255.255.255"));
    a.s_addr = htonl(host);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

int main(int argc, char **argv) {
    QStringList addresses;
    int count = 0;
    QString baseAddress = QStringLiteral("127.0.1.1");
    double rate = 10;
    int major = 5, minor = 12;
    QByteArray project = "URControl";
    ursim::Scenario scenario;
    QString scenarioText = QStringLiteral("normal");
    bool unreachable = false;
    bool animate = true;
    bool stamp = false;

    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        auto value = [&]() -> QString {
            if (i + 1 >= argc)
                fail(arg + QStringLiteral(" needs a value"));
            return QString::fromLocal8Bit(argv[++i]);
        };
        if (arg == QLatin1String("--address")) {
            addresses << value();
        } else if (arg == QLatin1String("--count")) {
            count = toInt(value(), "count");
        } else if (arg == QLatin1String("--base-address")) {
            baseAddress = value();
        } else if (arg == QLatin1String("--rate")) {
            bool ok = false;
            rate = value().toDouble(&ok);
            if (!ok || rate < 0)
                fail(QStringLiteral("bad rate"));
        } else if (arg == QLatin1String("--version")) {
            const QStringList v = value().split(QLatin1Char('.'));
            if (v.size() != 2)
                fail(QStringLiteral("version must be MAJOR.MINOR"));
            major = toInt(v.at(0), "major version");
            minor = toInt(v.at(1), "minor version");
            if (major > 255 || minor > 255)
                fail(QStringLiteral("version numbers must be below 256"));
        } else if (arg == QLatin1String("--project")) {
            project = value().toUtf8();
        } else if (arg == QLatin1String("--scenario")) {
            scenarioText = value();
            unreachable = scenarioText == QLatin1String("unreachable");
            if (!unreachable)
                scenario = parseScenario(scenarioText);
        } else if (arg == QLatin1String("--static")) {
            animate = false;
        } else if (arg == QLatin1String("--stamp")) {
            stamp = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (count > 0) {
        QString a = baseAddress;
        for (int n = 0; n < count; ++n) {
            addresses << a;
            if (n + 1 < count)
                a = nextAddress(a);
        }
    }
    if (addresses.isEmpty())
        addresses << QStringLiteral("127.0.0.1");

    const long files = ursim::raiseFileLimit();
    if (files > 0 && files < 3 * addresses.size() + 64)
        std::fprintf(stderr, "ur-sim: warning: only %ld open files allowed\n", files);

    // Signals are taken by sigwait below; the serving thread must not get them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Either way the summary line comes once every robot serves; the scale benchmark waits for
    // it.
    if (unreachable) {
        // Listeners with a full accept queue, held until stopped; nothing to serve.
        const ursim::Unreachable robots(addresses);
        for (const QString &address : robots.failed())
            std::fprintf(stderr, "ur-sim: %s: cannot set up an unreachable robot\n",
                         qPrintable(address));
        std::printf("ur-sim: %d robot(s) %s%s on port %u: scenario unreachable\n",
                    int(addresses.size()), qPrintable(addresses.first()),
                    addresses.size() > 1 ? qPrintable(QStringLiteral(" .. ") + addresses.last())
                                         : "",
                    unsigned(ursim::kPort));
        std::fflush(stdout);
        int sig = 0;
        sigwait(&stopSignals, &sig);
        std::printf("ur-sim: stopping (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
        return 0;
    }

    ursim::Simulator sim;
    const bool many = addresses.size() > 10;
    sim.setEventHandler([many](const QString &e) {
        if (many && e.startsWith(QLatin1String("listening")))
            return;
        std::printf("%s\n", qPrintable(e));
        std::fflush(stdout);
    });
    for (const QString &address : addresses) {
        ursim::RobotConfig cfg = ursim::RobotConfig::realistic(address);
        cfg.projectName = project;
        cfg.major = uint8_t(major);
        cfg.minor = uint8_t(minor);
        cfg.rateHz = rate;
        cfg.scenario = scenario;
        cfg.animate = animate;
        cfg.stampSendTime = stamp;
        sim.addRobot(cfg);
    }
    if (!sim.start()) {
        for (int i = 0; i < sim.robotCount(); ++i)
            if (!sim.robot(i).lastError().isEmpty())
                std::fprintf(stderr, "ur-sim: %s: %s\n", qPrintable(sim.robot(i).address()),
                             qPrintable(sim.robot(i).lastError()));
    }
    std::printf("ur-sim: %d robot(s) %s%s on port %u: %s %d.%d, %g Hz, scenario %s, %s%s\n",
                int(addresses.size()), qPrintable(addresses.first()),
                addresses.size() > 1 ? qPrintable(QStringLiteral(" .. ") + addresses.last()) : "",
                unsigned(ursim::kPort), project.constData(), major, minor, rate,
                qPrintable(scenarioText), animate ? "animated" : "static",
                stamp ? ", send time in force_x" : "");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    std::printf("ur-sim: stopping (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    sim.stop();
    return 0;
}
