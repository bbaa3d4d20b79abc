#include "diagnose.h"

#include "bytereader.h"
#include "resolver.h"
#include "robotitems.h"
#include "robotlink.h"
#include "socket.h"
#include "urinstance.h"
#include "urwrapper.h"

#include <QMap>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace diagnosis {
namespace {

// What came of connecting.
enum class Reach { Connected, Refused, NoAnswer, Unreachable };

struct Connection {
    Reach reach = Reach::NoAnswer;
    int fd = -1;
    int error = 0;
    int64_t tookMs = 0;
};

constexpr uint32_t headerBytes = 5; // a message's or sub-package's length field and type byte
constexpr int robotModePackage = 0;
constexpr int masterboardPackage = 3;
constexpr int endOfPackages = 255;
constexpr uint32_t firstFlagByte = 13;  // robot mode data: the flags, then the robot mode,
constexpr uint32_t robotModeByte = 20;  // at the same offsets in every generation
constexpr uint32_t safetyModeByte = 65; // in the master board data from CB3 on
constexpr int lengthsListed = 4;        // distinct lengths kept per sub-package type

// What arrived while listening. Counts and the newest of each kind only: a peer that floods
// small messages must not grow it.
struct Stream {
    int64_t bytes = 0;
    int64_t listenedMs = 0;
    int64_t endMs = 0;         // monotonic time at which listening ended
    bool closed = false;       // the peer closed the connection (or reset it)
    int64_t closedAfterMs = 0; // from the connection's opening
    bool framed = true;        // the plug-in's decoder kept step with the stream
    QByteArray firstBytes;
    int64_t wholeMessages = 0; // of any type
    int64_t messages = 0;      // controller messages: those the plug-in's decoder takes
    int64_t robotStates = 0;
    int64_t lastStateMs = 0;
    int64_t largestGapMs = 0; // between two reads that brought robot states
    QMap<int, int64_t> types;
    QMap<int, int64_t> robotMessageTypes;
    // Sub-package type: the distinct lengths seen (one more than listed means "and others").
    QMap<int, QVector<uint32_t>> packages;
    uint32_t modeLength = 0; // of the newest robot mode data; 0 when none arrived
    int modeFlags[robotModeByte - firstFlagByte + 1] = {}; // its flags and mode; -1 if cut
    uint32_t boardLength = 0;                              // of the newest master board data
    int safetyMode = -1;    // its safety mode byte; -1 when it has none
    std::vector<char> tail; // an unfinished message, for the listing
    bool listing = true;    // the listing keeps step with the stream
    urinstance robot;
    URWrapper decoder;
};

int64_t remainingMs(int64_t deadlineMs) {
    return std::max<int64_t>(0, deadlineMs - monotonicMs());
}

// Waits for the descriptor until the deadline; true when it is ready.
bool waitFor(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, int(remainingMs(deadlineMs)));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR || remainingMs(deadlineMs) == 0)
            return false;
    }
}

enum class Lookup { Resolved, Failed, NoAnswer };

// The plug-in's resolver: a name server that does not answer holds one of its threads, not
// this report.
Lookup lookUp(const QString &name, in_addr *address, int timeoutMs) {
    Resolver resolver;
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        switch (resolver.lookup(name, address)) {
        case Resolver::State::Resolved:
            return Lookup::Resolved;
        case Resolver::State::Failed:
            return Lookup::Failed;
        case Resolver::State::Pending:
            break;
        }
        if (!waitFor(resolver.notificationFd(), POLLIN, deadline))
            return Lookup::NoAnswer;
        resolver.clearNotification();
    }
}

// Connects with the plug-in's own socket calls.
Connection connectTo(in_addr address, const Options &options) {
    Connection c;
    const int64_t start = monotonicMs();
    int fd = -1;
    NetResult result = Socket::startConnect(address, options.port, &fd);
    if (result.outcome == NetOutcome::Connecting) {
        if (waitFor(fd, POLLOUT, start + options.connectTimeoutMs)) {
            result = Socket::finishConnect(fd); // closes a failure
        } else {
            ::close(fd);
            result.outcome = NetOutcome::TimedOut;
            result.error = ETIMEDOUT;
        }
    }
    c.tookMs = monotonicMs() - start;
    c.error = result.error;
    if (result.outcome == NetOutcome::Opened) {
        c.reach = Reach::Connected;
        c.fd = fd;
        return c;
    }
    const int error = result.error;
    c.reach = error == ECONNREFUSED ? Reach::Refused
              : error == ETIMEDOUT  ? Reach::NoAnswer
                                    : Reach::Unreachable;
    return c;
}

bool soundLength(uint32_t length) {
    return length >= headerBytes && length <= URWrapper::maxMessageLength;
}

void notePackage(Stream *s, int type, uint32_t length) {
    QVector<uint32_t> &lengths = s->packages[type];
    if (lengths.size() <= lengthsListed && !lengths.contains(length))
        lengths.append(length);
}

// The sub-packages of a robot state, walked as the decoder walks them.
void listPackages(Stream *s, ByteView message) {
    for (size_t at = headerBytes; at + headerBytes <= message.size;) {
        const uint32_t length = message.be32(at);
        const int type = message.u8(at + 4);
        if (length < headerBytes || type == endOfPackages)
            return;
        const ByteView package = message.sub(at, length);
        notePackage(s, type, length);
        if (type == robotModePackage) {
            s->modeLength = length;
            for (uint32_t at = firstFlagByte; at <= robotModeByte; ++at)
                s->modeFlags[at - firstFlagByte] = at < package.size ? package.u8(at) : -1;
        } else if (type == masterboardPackage) {
            s->boardLength = length;
            s->safetyMode = safetyModeByte < package.size ? package.u8(safetyModeByte) : -1;
        }
        if (length >= message.size - at)
            return;
        at += length;
    }
}

void listMessage(Stream *s, ByteView message) {
    const int type = message.u8(4);
    ++s->wholeMessages;
    ++s->types[type];
    if (type == 20)
        ++s->robotMessageTypes[message.u8(14)];
    else if (type == 16)
        listPackages(s, message);
}

// Cuts the bytes into messages as the decoder does, for the listing of types and sub-packages;
// only an unfinished last message is kept.
void listMessages(Stream *s, const char *bytes, size_t size) {
    std::vector<char> &tail = s->tail;
    size_t p = 0;
    if (!tail.empty()) {
        while (tail.size() < 4 && p < size)
            tail.push_back(bytes[p++]);
        if (tail.size() < 4)
            return;
        const uint32_t length = ByteView(tail.data(), tail.size()).be32(0);
        if (!soundLength(length)) {
            s->listing = false;
            return;
        }
        const size_t take = std::min<size_t>(length - tail.size(), size - p);
        tail.insert(tail.end(), bytes + p, bytes + p + take);
        p += take;
        if (tail.size() < length)
            return;
        listMessage(s, ByteView(tail.data(), tail.size()));
        tail.clear(); // keeps its room
    }
    while (p < size) {
        const ByteView rest(bytes + p, size - p);
        const uint32_t length = rest.be32(0);
        if (rest.size >= 4 && !soundLength(length)) {
            s->listing = false;
            return;
        }
        if (rest.size < 4 || length > rest.size) {
            tail.assign(bytes + p, bytes + size);
            return;
        }
        listMessage(s, rest.sub(0, length));
        p += length;
    }
}

// One read's bytes: decoded as the plug-in decodes them, and listed.
void take(Stream *s, const char *bytes, size_t size, int64_t atMs) {
    if (s->firstBytes.size() < 24)
        s->firstBytes.append(bytes, int(std::min<size_t>(size, size_t(24 - s->firstBytes.size()))));
    s->bytes += int64_t(size);
    if (s->listing)
        listMessages(s, bytes, size);
    const DecodeResult decoded = s->decoder.decode(&s->robot, bytes, size);
    s->messages += decoded.messages;
    if (decoded.robotStates > 0) {
        if (s->robotStates > 0)
            s->largestGapMs = std::max(s->largestGapMs, atMs - s->lastStateMs);
        s->robotStates += decoded.robotStates;
        s->lastStateMs = atMs;
    }
    if (decoded.streamLost)
        s->framed = false;
}

void listen(int fd, Stream *s, int64_t openedAtMs, int64_t endAtMs) {
    s->robot.variablesFileLoaded = true; // names kept by a plug-in elsewhere are not ours
    const int64_t start = monotonicMs();
    // The deadline is looked at between chunks as well: a peer that floods never leaves the
    // socket empty, and poll finds it ready even when the time is up.
    while (s->framed && remainingMs(endAtMs) > 0 && waitFor(fd, POLLIN, endAtMs)) {
        const int64_t atMs = monotonicMs();
        const NetResult result = Socket::readAvailable(fd, [=](const char *b, size_t n) {
            take(s, b, n, atMs);
            return s->framed && remainingMs(endAtMs) > 0;
        });
        if (result.outcome == NetOutcome::Closed) {
            s->closed = true;
            s->closedAfterMs = monotonicMs() - openedAtMs;
            break;
        }
    }
    s->endMs = monotonicMs();
    s->listenedMs = s->endMs - start;
}

// --- words ----------------------------------------------------------------------------------

enum class Generation { None, CB2, CB3Early, CB3Middle, Later, Unknown };

// The generation that a sub-package length shows (the Euromap 67 block of a master board
// adds 12 bytes on CB2, 16 later).
Generation generationOf(int package, uint32_t length) {
    if (length == 0)
        return Generation::None;
    if (package == robotModePackage) {
        switch (length) {
        case 29:
            return Generation::CB2;
        case 38:
            return Generation::CB3Early;
        case 46:
            return Generation::CB3Middle;
        case 47:
            return Generation::Later;
        default:
            return Generation::Unknown;
        }
    }
    switch (length) {
    case 64:
    case 76:
        return Generation::CB2;
    case 72:
    case 88:
        return Generation::CB3Early;
    case 75:
    case 91:
        return Generation::Later;
    default:
        return Generation::Unknown;
    }
}

QString generationText(const Stream &s) {
    const bool byMode = s.modeLength > 0;
    const Generation g = byMode ? generationOf(robotModePackage, s.modeLength)
                                : generationOf(masterboardPackage, s.boardLength);
    const QString from = byMode
                             ? QStringLiteral("robot mode data of %1 bytes").arg(s.modeLength)
                             : QStringLiteral("master board data of %1 bytes").arg(s.boardLength);
    switch (g) {
    case Generation::None:
        return QStringLiteral("not shown: no robot mode or master board data arrived");
    case Generation::CB2:
        return QStringLiteral("CB2 software 1.x (") + from + QLatin1Char(')');
    case Generation::CB3Early:
        return QStringLiteral("CB3 3.0-3.1 (") + from + QLatin1Char(')');
    case Generation::CB3Middle:
        return QStringLiteral("CB3 3.2-3.4 (") + from + QLatin1Char(')');
    case Generation::Later:
        return QStringLiteral("CB3 3.5 and later or e-Series (") + from + QLatin1Char(')');
    case Generation::Unknown:
        break;
    }
    return QStringLiteral("unknown: ") + from;
}

bool isCB2(const Stream &s) {
    return s.modeLength > 0 ? generationOf(robotModePackage, s.modeLength) == Generation::CB2
                            : generationOf(masterboardPackage, s.boardLength) == Generation::CB2;
}

QString robotModeText(int mode, bool cb2) {
    static const char *const cb2Names[] = {"running",      "freedrive",        "ready",
                                           "initializing", "security stopped", "emergency stopped",
                                           "fatal error",  "no power",         "not connected",
                                           "shutdown",     "safeguard stop"};
    static const char *const names[] = {"disconnected", "confirm safety", "booting",
                                        "power off",    "power on",       "idle",
                                        "backdrive",    "running",        "updating firmware"};
    if (cb2)
        return mode >= 0 && mode <= 10 ? QStringLiteral("%1 (%2, as CB2 numbers its modes)")
                                             .arg(mode)
                                             .arg(QLatin1String(cb2Names[mode]))
                                       : QStringLiteral("%1 (not a CB2 mode)").arg(mode);
    mode = int8_t(mode);
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

QString packageName(int type) {
    switch (type) {
    case 0:
        return QStringLiteral("0 robot mode");
    case 1:
        return QStringLiteral("1 joints");
    case 2:
        return QStringLiteral("2 tool");
    case 3:
        return QStringLiteral("3 master board");
    case 7:
        return QStringLiteral("7 force");
    default:
        return QString::number(type);
    }
}

QString counts(const QMap<int, int64_t> &byType, QString (*name)(int)) {
    QStringList parts;
    for (auto it = byType.cbegin(); it != byType.cend(); ++it)
        parts << name(it.key()) + QStringLiteral(": ") + QString::number(it.value());
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral("; "));
}

QString packageLengths(const QMap<int, QVector<uint32_t>> &packages) {
    QStringList parts;
    for (auto it = packages.cbegin(); it != packages.cend(); ++it) {
        QStringList lengths;
        for (int i = 0; i < std::min(int(it.value().size()), lengthsListed); ++i)
            lengths << QString::number(it.value().at(i));
        if (it.value().size() > lengthsListed)
            lengths << QStringLiteral("...");
        parts << packageName(it.key()) + QStringLiteral(": ") + lengths.join(QLatin1Char('/'));
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral("; "));
}

QString shown(const QByteArray &bytes) {
    QString text;
    bool printable = true;
    for (char c : bytes)
        printable = printable && ((c >= 32 && c < 127) || c == '\r' || c == '\n');
    if (printable)
        return QLatin1Char('"') +
               QString::fromLatin1(bytes)
                   .replace(QLatin1String("\r"), QLatin1String("\\r"))
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

// The item's value as the plug-in's read cycle gives it to the host; false for none.
bool valueOf(const urinstance &robot, const RobotValueItem &item, QString *text) {
    const bool decoded = item.group == ValueGroup::Alarms || groupDecodedMs(robot, item.group) > 0;
    return decoded && item.read(robot, text);
}

// Prints the items with their values; returns how many robot-state items have a value, and
// of how many.
int reportItems(QTextStream &out, const urinstance &robot, int *of) {
    const auto row = [&out](const QString &key, const QString &value, const QString &unit) {
        out << "  " << key.leftJustified(28) << ' ' << value
            << (unit.isEmpty() || value == QLatin1String("-") ? QString() : QLatin1Char(' ') + unit)
            << '\n';
    };
    int valued = 0;
    const auto item = [&](const RobotValueItem &item) {
        QString text;
        const bool has = valueOf(robot, item, &text);
        // Values of the robot's state only: alarms are events, and have no age.
        const bool state = groupDecodedMs(robot, item.group) >= 0;
        valued += has && state;
        *of += state;
        row(item.key, has ? text : QStringLiteral("-"), item.unit);
    };
    out << "Items the host would get (uid without the \"_<device id>\" suffix; - no value):\n";
    for (const RobotValueItem &i : robotValueItems())
        item(i);
    row(QStringLiteral("identity vendor"), QStringLiteral("Universal Robots"), QString());
    row(QStringLiteral("identity model"), robot.projectName, QString());
    if (robot.versionMajor > 0 || robot.versionMinor > 0)
        row(QStringLiteral("identity firmware"),
            QStringLiteral("%1.%2").arg(robot.versionMajor).arg(robot.versionMinor), QString());
    for (auto it = robot.variableValues.cbegin(); it != robot.variableValues.cend(); ++it)
        row(it.key(), it.value(), QString());
    out << "On request only (ur-host --item KEY_<id>, or an item of that uid in the host):\n";
    for (const RobotValueItem &i : extraRobotValueItems())
        item(i);
    return valued;
}

QString groupsWithValues(const urinstance &robot) {
    static const struct {
        ValueGroup group;
        const char *name;
    } groups[] = {{ValueGroup::Mode, "robot mode"},
                  {ValueGroup::Joints, "joints"},
                  {ValueGroup::Tool, "tool"},
                  {ValueGroup::Masterboard, "master board"},
                  {ValueGroup::Force, "force"}};
    QStringList names;
    for (const auto &g : groups)
        if (groupDecodedMs(robot, g.group) > 0)
            names << QLatin1String(g.name);
    return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
}

QString flag(const Stream &s, uint32_t offset) {
    const int value = s.modeFlags[offset - firstFlagByte];
    return value < 0 ? QStringLiteral("-") : QString::number(value);
}

void reportController(QTextStream &out, const Stream &s) {
    const urinstance &robot = s.robot;
    out << "Controller: version "
        << (robot.versionMajor || robot.versionMinor
                ? QStringLiteral("%1.%2").arg(robot.versionMajor).arg(robot.versionMinor)
                : QStringLiteral("not announced (it comes once, right after connecting)"))
        << ", project name \"" << robot.projectName << "\"\n";
    out << "Generation: " << generationText(s) << "\n";
    out << "Robot state sub-packages (type: bytes): " << packageLengths(s.packages) << "\n";
    const bool cb2 = isCB2(s);
    if (s.modeLength == 0)
        out << "Robot: no robot mode data arrived\n";
    else
        out << "Robot: mode "
            << (flag(s, robotModeByte) == QLatin1String("-")
                    ? QStringLiteral("- (beyond the robot mode data)")
                    : robotModeText(s.modeFlags[robotModeByte - firstFlagByte], cb2))
            << ", power on " << flag(s, 15) << ", program running " << flag(s, 18) << ", paused "
            << flag(s, 19) << ", emergency stopped " << flag(s, 16) << ", protective stopped "
            << flag(s, 17) << ", real robot " << flag(s, 13) << "\n";
    out << "Safety mode: "
        << (s.boardLength == 0 ? QStringLiteral("no master board data arrived")
            : cb2              ? QStringLiteral("none on a CB2 (its master board has a master "
                                                             "safety state instead)")
            : s.safetyMode < 0
                ? QStringLiteral("none (master board data of %1 bytes)").arg(s.boardLength)
                : safetyModeText(s.safetyMode))
        << "\n";
}

int verdict(QTextStream &out, const char *name, const char *text) {
    out << "Verdict: " << name << ". " << text << "\n";
    return 1;
}

int reportStream(QTextStream &out, const Stream &s, const Connection &c) {
    const urinstance &robot = s.robot;
    out << "Arrived in " << s.listenedMs << " ms: " << s.bytes << " bytes, " << s.wholeMessages
        << " whole messages, " << s.messages << " of them controller messages (types 16, 20, 25)\n";
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
    out << "Frames as messages (length and type)";
    if (!s.tail.empty())
        out << ", the last one unfinished: " << s.tail.size() << " of "
            << (s.tail.size() >= 4 ? QString::number(ByteView(s.tail.data(), 4).be32(0))
                                   : QStringLiteral("?"))
            << " bytes";
    out << ".\n";
    reportController(out, s);

    out << "Robot states: " << s.robotStates;
    if (s.robotStates >= 2)
        out << ", largest gap " << s.largestGapMs << " ms (the plug-in drops a robot that sends "
            << "nothing for " << robotlink::silenceMs << " ms; a controller sends one every 100)";
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
    out << "Value groups decoded: " << groupsWithValues(robot) << "\n";
    int items = 0;
    const int valued = reportItems(out, robot, &items);
    out << "Items with a value: " << valued << " of " << items << "\n";

    if (s.closed) {
        out << "The peer closed the connection " << s.closedAfterMs << " ms after it opened"
            << (s.closedAfterMs < 1000 ? ": closed right after connecting" : "") << ".\n"
            << "Likely: the controller is restarting or shutting down, or the device at this "
               "address ends connections (or something between does); the plug-in "
               "reconnects, but values come and go.\n";
        out << "Verdict: CLOSED. No steady stream from this address.\n";
        return 1;
    }
    if (s.messages == 0) {
        out << "No whole message of a type the plug-in reads (16 robot state, 20 robot "
               "message, 25 global message) arrived: a device that is not a UR controller, or "
               "a port other than the primary interface.\n";
        return verdict(out, "NO CONTROLLER MESSAGES", "The host gets no values from this address.");
    }
    if (s.robotStates < 2) {
        out << "Controller messages arrived but no steady robot state: a controller that is "
               "booting, or a port other than the primary interface.\n";
        out << "Verdict: NO ROBOT STATE. The host gets no values from this address.\n";
        return 1;
    }
    if (valued == 0) {
        out << "Robot states arrive, but none carries a sub-package that the plug-in reads "
               "values from: every item has no value.\n";
        return verdict(out, "NO VALUES", "The host gets no values from this address.");
    }
    if (c.tookMs > robotlink::connectTimeoutMs) {
        out << "Connecting took " << c.tookMs << " ms, longer than the plug-in waits ("
            << robotlink::connectTimeoutMs << " ms): it times out on every attempt.\n"
            << "Likely: a slow or lossy network path (Wi-Fi, a VPN, a firewall that inspects "
               "connections, a congested link).\n";
        return verdict(out, "SLOW CONNECTION", "The host cannot read this robot.");
    }
    if (s.largestGapMs > robotlink::silenceMs) {
        out << "Robot states came up to " << s.largestGapMs << " ms apart, more than the "
            << robotlink::silenceMs << " ms the plug-in waits: it drops the connection each time "
            << "and reconnects, so the host's values come and go.\n"
            << "Likely: an overloaded controller, or a network that delays or drops packets.\n";
        return verdict(out, "GAPS", "The host's values would come and go.");
    }
    if (s.endMs - s.lastStateMs > robotlink::silenceMs) {
        out << "Robot states stopped " << s.endMs - s.lastStateMs
            << " ms before the end: the controller stalls or its network drops packets.\n";
        out << "Verdict: STALLED. The host's values would go stale.\n";
        return 1;
    }
    out << "Verdict: STREAMING. A controller is streaming; the host can read this robot.\n";
    return 0;
}

int reportConnection(QTextStream &out, const Connection &c, const char *address,
                     const Options &options) {
    switch (c.reach) {
    case Reach::Connected:
        out << "Reachable: connected to " << address << " in " << c.tookMs << " ms"
            << (c.tookMs > robotlink::connectTimeoutMs
                    ? QStringLiteral(", longer than the plug-in waits (%1 ms)")
                          .arg(robotlink::connectTimeoutMs)
                    : QString())
            << "\n";
        return 0;
    case Reach::Refused:
        out << "Not reachable: connection refused (the address answered, but nothing listens "
               "on port "
            << options.port << ").\n"
            << "Likely: the controller is booting; or its primary client interface is "
               "disabled in its security settings (Settings > Security > Services on "
               "PolyScope 5.10 and later); or this address is not a UR controller.\n"
            << "Verdict: REFUSED.\n";
        return 1;
    case Reach::NoAnswer:
    case Reach::Unreachable:
        out << "Not reachable: "
            << (c.reach == Reach::NoAnswer
                    ? QStringLiteral("no answer within %1 ms").arg(options.connectTimeoutMs)
                    : Socket::errorText(c.error))
            << ".\n"
            << "Likely: a wrong address, a cable, a subnet this computer does not reach, or "
               "the robot's inbound-access restrictions (Settings > Security on the teach "
               "pendant).\n"
            << "Verdict: NO ANSWER.\n";
        return 1;
    }
    return 1;
}

// The address as the plug-in connects to it; false (reported) when it cannot.
bool addressOf(QTextStream &out, const QString &target, const Options &options, in_addr *ip) {
    const char *const useAddress =
        " Use the robot's IPv4 address (Settings > System > Network on the teach pendant).\n";
    if (Socket::numericAddress(target, ip))
        return true;
    if (target.isEmpty()) {
        out << "No address given." << useAddress << "Verdict: UNRESOLVED.\n";
        return false;
    }
    if (Socket::ipv6Literal(target)) {
        out << target
            << ": only IPv4 addresses and host names are supported, not IPv6 "
               "addresses (the plug-in logs this and cannot read the robot)."
            << useAddress << "Verdict: UNSUPPORTED ADDRESS.\n";
        return false;
    }
    switch (lookUp(target, ip, options.lookupTimeoutMs)) {
    case Lookup::Resolved:
        return true;
    case Lookup::Failed:
        out << "The name does not resolve (the plug-in logs \"Eror resolving host: " << target
            << "\"). Check its spelling." << useAddress;
        break;
    case Lookup::NoAnswer:
        out << "The name server did not answer within " << options.lookupTimeoutMs
            << " ms: the plug-in reads the robot only once it answers. Check this computer's "
               "name server."
            << useAddress;
        break;
    }
    out << "Verdict: UNRESOLVED.\n";
    return false;
}

} // namespace

int run(const QString &address, QTextStream &out, const Options &options) {
    const int64_t startMs = monotonicMs();
    // As the plug-in: a blank pasted with the address is no part of it.
    const QString target = address.trimmed();
    out << "Diagnosis of " << target << " port " << options.port << "\n";
    if (target != address && !target.isEmpty())
        out << "Blanks around the address removed, as the plug-in removes them.\n";
    in_addr ip{};
    if (!addressOf(out, target, options, &ip)) {
        out.flush();
        return 1;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &ip, text, sizeof text);
    const Connection c = connectTo(ip, options);
    if (reportConnection(out, c, text, options) != 0) {
        out.flush();
        return 1;
    }
    const int64_t openedAtMs = monotonicMs();
    Stream s;
    s.robot.device.address = target;
    listen(c.fd, &s, openedAtMs,
           std::min(openedAtMs + options.listenMs, startMs + options.budgetMs));
    ::close(c.fd);
    const int status = reportStream(out, s, c);
    out.flush();
    return status;
}

} // namespace diagnosis
