// Writes the seed corpus of the decoder fuzz target: encoder-built streams of every
// message kind and every value layout, and the real controller captures, each behind the
// 5-byte prefix that the target reads (options, then four read sizes).
//
// Usage: fuzz_seeds <output directory> [<captures directory>]
#include "urencoder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cstdio>

namespace {

namespace var = urenc::var;

int written = 0;

void writeSeed(const QString &directory, const QString &name, const QByteArray &prefix,
               const QByteArray &stream) {
    QFile file(directory + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(prefix + stream) != prefix.size() + stream.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        std::exit(1);
    }
    ++written;
}

QByteArray prefix(uint8_t options, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    QByteArray out;
    for (uint8_t v : {options, a, b, c, d})
        out.append(static_cast<char>(v));
    return out;
}

QList<robotstate_joint> joints() {
    QList<robotstate_joint> list;
    for (int j = 0; j < 6; ++j) {
        robotstate_joint joint;
        joint.actualPosition = 0.1 * j;
        joint.motorTemperature = float(30 + j);
        joint.actualCurrent = float(0.5 * j);
        joint.jointMode = 253;
        list.append(joint);
    }
    return list;
}

QByteArray robotState() {
    robotstate_mode mode;
    mode.isRealRobotConnected = 1;
    mode.isProgramRunning = 1;
    mode.robotMode = 7;
    mode.targetSpeedFraction = 1.0;
    robotstate_tool tool;
    tool.analogInputRange2 = -1;
    tool.toolTemperature = 35;
    robotstate_masterboard board;
    board.digitalInputBits = 0x80000001u;
    board.robotVoltage48V = 48;
    board.safetyMode = 1;
    robotstate_force force;
    force.x = 1.5;
    return urenc::fullRobotState(mode, joints(), tool, board, force);
}

// Every value kind of one layout, top level and inside (nested) lists.
QList<QByteArray> allValues(int layout) {
    const QByteArray element =
        var::list(layout, {var::integer(layout, -2), var::string(layout, "in")});
    return {var::none(layout),
            var::string(layout, "hello"),
            var::integer(layout, 42),
            var::real(layout, 0.333333f),
            var::byte(layout, 200),
            var::pose(layout, {1.5f, 0, 0, 0, 0, 0}),
            var::list(layout, {var::integer(layout, 1), var::integer(layout, 2)}),
            var::list(layout, {element, var::list(layout, {element}), var::real(layout, 2.5f)}),
            var::raw(12, QByteArray(4, '\x01'))};
}

QByteArray variables(int layout) {
    QList<QByteArray> names;
    const QList<QByteArray> values = allValues(layout);
    for (int i = 0; i < values.size(); ++i)
        names.append("v" + QByteArray::number(i));
    names[0] = "a";
    QByteArray stream = urenc::variableArrayMessage(0, names.mid(0, 4)) +
                        urenc::variableArrayMessage(4, names.mid(4));
    const QByteArray series = urenc::variablesValueMessage(0, values.mid(0, 4)) +
                              urenc::variablesValueMessage(4, values.mid(4));
    stream += series + series + series;
    stream += urenc::variablesValueMessage(0, {}); // only a start index
    return stream;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output directory> [<captures directory>]\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    const QByteArray state = robotState();
    const QByteArray version = urenc::versionMessage("URControl", 5, 12, 3, 1234);
    const QByteArray titled = urenc::titledTextMessage("Status", "Picking item 7");

    // Whole reads, then reads that cut messages in odd places.
    writeSeed(out, QStringLiteral("robot-state"), prefix(0, 255, 255, 255, 255), state);
    writeSeed(out, QStringLiteral("robot-state-cut"), prefix(0, 3, 9, 1, 20), state + state);
    writeSeed(out, QStringLiteral("version"), prefix(1, 255, 255, 255, 255), version);
    writeSeed(out, QStringLiteral("version-empty-name"), prefix(1, 2, 2, 2, 2),
              urenc::versionMessage("", 3, 2));
    writeSeed(out, QStringLiteral("titled-text"), prefix(16, 4, 5, 6, 7), titled + titled);
    writeSeed(out, QStringLiteral("mixed"), prefix(32, 10, 30, 2, 60),
              version + state + titled + urenc::message(5, QByteArray(40, '\x11')) + state);
    writeSeed(out, QStringLiteral("faulty-length"), prefix(0, 255, 1, 255, 255),
              state + QByteArray("\x00\x00\x00\x00\x10", 5) + state);
    writeSeed(out, QStringLiteral("names-file"), prefix(8 | 4, 255, 255, 255, 255),
              urenc::variableArrayMessage(0, {"a", "b"}) + version);

    // Program variables in every layout, chosen by the setting and by Auto.
    const uint8_t settingOf[4] = {0, 2, 3, 4}; // absent, "1", "2", "3"
    for (int layout = 1; layout <= 3; ++layout) {
        writeSeed(out, QStringLiteral("variables-layout%1").arg(layout),
                  prefix(settingOf[layout] | 32, 255, 255, 255, 255), variables(layout));
        writeSeed(out, QStringLiteral("variables-layout%1-cut").arg(layout),
                  prefix(settingOf[layout], 5, 1, 17, 200), variables(layout));
    }
    writeSeed(out, QStringLiteral("variables-auto-5.12"), prefix(1, 255, 255, 255, 255),
              urenc::versionMessage("URControl", 5, 12) + variables(3));
    writeSeed(out, QStringLiteral("variables-auto-3.10"), prefix(1, 255, 255, 255, 255),
              urenc::versionMessage("URControl", 3, 10) + variables(2));

    if (argc > 2) {
        const QDir captures(QString::fromLocal8Bit(argv[2]));
        for (const QString &name : captures.entryList({QStringLiteral("*.bin")}, QDir::Files)) {
            QFile file(captures.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = file.readAll();
            writeSeed(out, QStringLiteral("capture-") + name, prefix(0, 255, 255, 255, 255), bytes);
            writeSeed(out, QStringLiteral("capture-cut-") + name, prefix(1, 7, 13, 1, 31), bytes);
        }
    }
    std::printf("%d seeds written to %s\n", written, argv[1]);
    return 0;
}
