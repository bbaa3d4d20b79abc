#include "diagnose.h"

#include "robotitems.h"
#include "urdecoder.h"
#include "urinstance.h"
#include "urwrapper.h"

#include <QByteArray>
#include <QMap>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace diagnosis {
namespace {

// What came of connecting.
enum class Reach { Connected, Unresolved, Refused, NoAnswer, Unreachable };

struct Connection {
    Reach reach = Reach::NoAnswer;
    int fd = -1;
    int error = 0;
    int64_t tookMs = 0;
};

// What arrived while listening.
struct Stream {
    int64_t bytes = 0;
    int64_t listenedMs = 0;
    int64_t endMs = 0; // monotonic time at which listening ended
    bool closed = false;      // the peer closed the connection (or reset it)
    int64_t closedAfterMs = 0; // from the connection's opening
    bool framed = true;       // every whole message had a sound length
    bool cutShort = false;    // bytes of an unfinished message were left at the end
    QByteArray firstBytes;
    int messages = 0;
    QMap<int, int> types;
    QMap<int, int> robotMessageTypes;
    QList<int64_t> stateTimes; // arrival of each robot state
    urinstance robot;
};

QString errorText(int error) {
    char text[256] = {};
    return QString::fromLocal8Bit(strerror_r(error, text, sizeof text));
}

bool resolve(const QString &address, in_addr *out, QString *why) {
    const QByteArray host = address.toUtf8();
    if (::inet_pton(AF_INET, host.constData(), out) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int status = ::getaddrinfo(host.constData(), nullptr, &hints, &found);
    if (status != 0 || !found) {
        *why = QString::fromLocal8Bit(gai_strerror(status));
        return false;
    }
    *out = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

Connection connectTo(in_addr address, const Options &options) {
    Connection c;
    const int64_t start = monotonicMs();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        c.reach = Reach::Unreachable;
        c.error = errno;
        return c;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(uint16_t(options.port));
    peer.sin_addr = address;
    int error = 0;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, options.connectTimeoutMs);
            socklen_t size = sizeof error;
            if (ready <= 0)
                error = ETIMEDOUT;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
    }
    c.tookMs = monotonicMs() - start;
    c.error = error;
    if (error == 0) {
        c.reach = Reach::Connected;
        c.fd = fd;
        return c;
    }
    ::close(fd);
    c.reach = error == ECONNREFUSED ? Reach::Refused
              : error == ETIMEDOUT  ? Reach::NoAnswer
                                    : Reach::Unreachable;
    return c;
}

// Cuts the bytes into messages as the plug-in does, counts them and decodes each.
void take(Stream *s, QByteArray *pending, int64_t atMs) {
    int at = 0;
    while (s->framed && pending->size() - at >= 4) {
        const ByteView rest(pending->constData() + at, size_t(pending->size() - at));
        const uint32_t length = rest.be32(0);
        if (length < 5 || length > URWrapper::maxMessageLength) {
            s->framed = false;
            break;
        }
        if (rest.size < length)
            break;
        const ByteView message = rest.sub(0, length);
        const int type = message.u8(4);
        ++s->messages;
        ++s->types[type];
        if (type == 20)
            ++s->robotMessageTypes[message.u8(14)];
        if (type == 16)
            s->stateTimes << atMs;
        s->robot.messageLength = int32_t(length);
        urdecode::message(message, &s->robot);
        at += int(length);
    }
    pending->remove(0, at);
    s->cutShort = s->framed && !pending->isEmpty();
}

Stream listen(int fd, const QString &address, int64_t openedAtMs, const Options &options) {
    Stream s;
    s.robot.device.address = address;
    s.robot.variablesFileLoaded = true; // names kept by a plug-in elsewhere are not ours
    QByteArray pending;
    const int64_t start = monotonicMs();
    const int64_t end = start + options.listenMs;
    char buffer[65536];
    for (int64_t nowMs = start; nowMs < end && s.framed; nowMs = monotonicMs()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(end - nowMs)) <= 0)
            continue;
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count <= 0) {
            s.closed = true;
            s.closedAfterMs = monotonicMs() - openedAtMs;
            break;
        }
        if (s.firstBytes.size() < 24)
            s.firstBytes.append(buffer, int(std::min<ssize_t>(count, 24 - s.firstBytes.size())));
        s.bytes += count;
        pending.append(buffer, int(count));
        take(&s, &pending, monotonicMs());
    }
    s.endMs = monotonicMs();
    s.listenedMs = s.endMs - start;
    return s;
}

QString robotModeText(int mode) {
    static const char *const names[] = {"disconnected", "confirm safety", "booting",
                                        "power off",    "power on",       "idle",
                                        "backdrive",    "running",        "updating firmware"};
    if (mode == -1)
        return QStringLiteral("-1 (no controller)");
    if (mode >= 0 && mode <= 8)
        return QStringLiteral("%1 (%2)").arg(mode).arg(QLatin1String(names[mode]));
    return QString::number(mode);
}

QString safetyModeText(int mode) {
    static const char *const names[] = {"normal",
                                        "reduced",
                                        "protective stop",
                                        "recovery",
                                        "safeguard stop",
                                        "system emergency stop",
                                        "robot emergency stop",
                                        "violation",
                                        "fault",
                                        "validate joint id",
                                        "undefined",
                                        "automatic mode safeguard stop",
                                        "three-position enabling stop"};
    if (mode >= 1 && mode <= 13)
        return QStringLiteral("%1 (%2)").arg(mode).arg(QLatin1String(names[mode - 1]));
    return QString::number(mode);
}

QString typeName(int type) {
    switch (type) {
    case 16:
        return QStringLiteral("16 robot state");
    case 20:
        return QStringLiteral("20 robot message");
    case 25:
        return QStringLiteral("25 global message (program variables)");
    default:
        return QString::number(type);
    }
}

QString subTypeName(int subType) {
    switch (subType) {
    case 3:
        return QStringLiteral("3 version");
    case 5:
        return QStringLiteral("5 safety mode (alarm)");
    case 6:
        return QStringLiteral("6 error code (alarm)");
    case 8:
        return QStringLiteral("8 titled text");
    default:
        return QString::number(subType);
    }
}

QString counts(const QMap<int, int> &byType, QString (*name)(int)) {
    QStringList parts;
    for (auto it = byType.cbegin(); it != byType.cend(); ++it)
        parts << name(it.key()) + QStringLiteral(": ") + QString::number(it.value());
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral("; "));
}

QString shown(const QByteArray &bytes) {
    QString text;
    bool printable = true;
    for (char c : bytes)
        printable = printable && ((c >= 32 && c < 127) || c == '\r' || c == '\n');
    if (printable)
        return QLatin1Char('"') +
               QString::fromLatin1(bytes).replace(QLatin1String("\r"), QLatin1String("\\r"))
                   .replace(QLatin1String("\n"), QLatin1String("\\n")) +
               QLatin1Char('"');
    return QString::fromLatin1(bytes.toHex(' '));
}

QString listed(QStringList names) {
    const int shownAtMost = 8;
    const int total = int(names.size());
    if (total > shownAtMost)
        names = names.mid(0, shownAtMost) << QStringLiteral("...");
    return QString::number(total) +
           (total ? QStringLiteral(" (") + names.join(QStringLiteral(", ")) + QLatin1Char(')')
                  : QString());
}

void reportItems(QTextStream &out, const urinstance &robot) {
    const QString suffix = QStringLiteral("_1");
    const auto row = [&out](const QString &key, const QString &value, const QString &unit) {
        out << "  " << key.leftJustified(28) << ' ' << value
            << (unit.isEmpty() || value == QLatin1String("-") ? QString() : QLatin1Char(' ') + unit)
            << '\n';
    };
    const auto valueOf = [&robot](const RobotValueItem &item) {
        QString text;
        const bool decoded = item.group == ValueGroup::Alarms || groupDecodedMs(robot, item.group) > 0;
        return decoded && item.read(robot, &text) ? text : QStringLiteral("-");
    };
    out << "Items the host would get (uid without the \"_<device id>\" suffix; - no value):\n";
    for (const RobotValueItem &item : robotValueItems())
        row(item.key, valueOf(item), item.unit);
    row(QStringLiteral("identity vendor"), QStringLiteral("Universal Robots"), QString());
    row(QStringLiteral("identity model"), robot.projectName, QString());
    if (robot.versionMajor > 0 || robot.versionMinor > 0)
        row(QStringLiteral("identity firmware"),
            QStringLiteral("%1.%2").arg(robot.versionMajor).arg(robot.versionMinor), QString());
    for (auto it = robot.variableValues.cbegin(); it != robot.variableValues.cend(); ++it)
        row(it.key(), it.value(), QString());
    out << "On request only (ur-host --item KEY_<id>, or an item of that uid in the host):\n";
    for (const RobotValueItem &item : extraRobotValueItems())
        row(item.key, valueOf(item), item.unit);
}

int reportStream(QTextStream &out, const Stream &s) {
    const urinstance &robot = s.robot;
    out << "Arrived in " << s.listenedMs << " ms: " << s.bytes << " bytes, " << s.messages
        << " controller messages\n";
    if (s.bytes == 0) {
        if (s.closed) {
            out << "Closed right after connecting (" << s.closedAfterMs
                << " ms), before sending anything.\n";
            out << "Likely: the controller is restarting or shutting down, or another device on "
                   "this address accepts connections and drops them.\n";
        } else {
            out << "Nothing arrived: the port accepts connections but the peer sends nothing. A "
                   "controller sends its state at once; this is likely not a UR controller's "
                   "primary interface (another device, or a port forwarded elsewhere), or a "
                   "controller that hangs.\n";
        }
        out << "Verdict: NO DATA. The host gets no values from this address.\n";
        return 1;
    }
    if (!s.framed) {
        out << "The bytes do not frame as controller messages: this is not a Universal Robots "
               "controller (or not its primary interface on port 30001). First bytes: "
            << shown(s.firstBytes) << "\n";
        out << "Verdict: NOT A CONTROLLER. The plug-in drops such a connection at once and "
               "tries again.\n";
        return 1;
    }
    out << "Frames as controller messages" << (s.cutShort ? " (the last one unfinished)" : "")
        << ".\n";
    out << "Controller: version "
        << (robot.versionMajor || robot.versionMinor
                ? QStringLiteral("%1.%2").arg(robot.versionMajor).arg(robot.versionMinor)
                : QStringLiteral("not announced (it comes once, right after connecting)"))
        << ", project name \"" << robot.projectName << "\"\n";
    if (robot.decodedAtMs.mode > 0) {
        const robotstate_mode &m = robot.modeData;
        out << "Robot: mode " << robotModeText(int8_t(m.robotMode)) << ", power on "
            << m.isPowerOnRobot << ", program running " << m.isProgramRunning << ", paused "
            << m.isProgramPaused << ", emergency stopped " << m.isEmergencyStopped
            << ", protective stopped " << m.isProtectiveStopped << ", real robot "
            << m.isRealRobotConnected << "\n";
    } else {
        out << "Robot: no robot mode data arrived\n";
    }
    out << "Safety mode: "
        << (robot.decodedAtMs.masterboard > 0 ? safetyModeText(robot.masterboardData.safetyMode)
                                               : QStringLiteral("no master board data arrived"))
        << "\n";

    const QList<int64_t> &times = s.stateTimes;
    int64_t largestGap = 0;
    for (int i = 1; i < times.size(); ++i)
        largestGap = std::max(largestGap, times.at(i) - times.at(i - 1));
    out << "Robot states: " << times.size();
    if (times.size() >= 2)
        out << ", " << QString::number(double(times.size() - 1) * 1000.0 /
                                           double(std::max<int64_t>(1, times.last() - times.first())),
                                       'f', 1)
            << " Hz (a controller sends 10), largest gap " << largestGap << " ms";
    out << "\n";
    out << "Message types: " << counts(s.types, typeName) << "\n";
    out << "Robot message sub-types: " << counts(s.robotMessageTypes, subTypeName) << "\n";
    out << "Program variables announced: " << listed(robot.variableNames.values()) << "\n";
    QStringList titles = robot.titles.values();
    titles.sort();
    out << "Message titles: " << listed(titles) << "\n";
    out << "Newest alarm: "
        << (robot.alarmCount ? QStringLiteral("C%1A%2 (%3 alarm(s) while listening)")
                                   .arg(robot.alarmCode)
                                   .arg(robot.alarmArgument)
                                   .arg(robot.alarmCount)
                             : QStringLiteral("none while listening"))
        << "\n";
    reportItems(out, robot);

    if (s.closed) {
        out << "The peer closed the connection " << s.closedAfterMs << " ms after it opened"
            << (s.closedAfterMs < 1000 ? ": closed right after connecting" : "") << ".\n"
            << "Likely: the controller is restarting or shutting down, or the device at this "
               "address ends connections (or something between does); the plug-in "
               "reconnects, but values come and go.\n";
        out << "Verdict: CLOSED. No steady stream from this address.\n";
        return 1;
    }
    if (times.size() < 2) {
        out << "Controller messages arrived but no steady robot state: a controller that is "
               "booting, or a port other than the primary interface.\n";
        out << "Verdict: NO ROBOT STATE. The host gets no values from this address.\n";
        return 1;
    }
    if (s.endMs - times.last() > 1000) {
        out << "Robot states stopped " << s.endMs - times.last()
            << " ms before the end: the controller stalls or its network drops packets.\n";
        out << "Verdict: STALLED. The host's values would go stale.\n";
        return 1;
    }
    out << "Verdict: STREAMING. A controller is streaming; the host can read this robot.\n";
    return 0;
}

} // namespace

int run(const QString &address, QTextStream &out, const Options &options) {
    out << "Diagnosis of " << address << " port " << options.port << "\n";
    in_addr ip{};
    QString why;
    if (!resolve(address, &ip, &why)) {
        out << "The name does not resolve: " << why << ". Check its spelling, or use the "
               "robot's IP address (Settings > System > Network on the teach pendant).\n";
        out << "Verdict: UNRESOLVED.\n";
        out.flush();
        return 1;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &ip, text, sizeof text);
    const Connection c = connectTo(ip, options);
    switch (c.reach) {
    case Reach::Connected:
        out << "Reachable: connected to " << text << " in " << c.tookMs << " ms\n";
        break;
    case Reach::Refused:
        out << "Not reachable: connection refused (the address answered, but nothing listens "
               "on port "
            << options.port << ").\n"
            << "Likely: the controller is booting; or its primary client interface is "
               "disabled in its security settings (Settings > Security > Services on "
               "PolyScope 5.10 and later); or this address is not a UR controller.\n"
            << "Verdict: REFUSED.\n";
        break;
    case Reach::NoAnswer:
    case Reach::Unreachable:
    case Reach::Unresolved:
        out << "Not reachable: "
            << (c.reach == Reach::NoAnswer
                    ? QStringLiteral("no answer within %1 ms").arg(options.connectTimeoutMs)
                    : errorText(c.error))
            << ".\n"
            << "Likely: a wrong address, a cable, a subnet this computer does not reach, or "
               "the robot's inbound-access restrictions (Settings > Security on the teach "
               "pendant).\n"
            << "Verdict: NO ANSWER.\n";
        break;
    }
    if (c.reach != Reach::Connected) {
        out.flush();
        return 1;
    }
    const int64_t openedAtMs = monotonicMs();
    const Stream s = listen(c.fd, address, openedAtMs, options);
    ::close(c.fd);
    const int status = reportStream(out, s);
    out.flush();
    return status;
}

} // namespace diagnosis
