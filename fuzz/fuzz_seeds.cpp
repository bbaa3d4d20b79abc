// Writes the seed corpus of the decoder fuzz target: encoder-built streams of every
// message kind and every value layout, and the real controller captures, each behind the
// 5-byte prefix that the target reads (options, then four read sizes; given here in hex).
//
// Usage: fuzz_seeds <output directory> [<captures directory>]
#include "urencoder.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {

namespace var = urenc::var;

QString out;
int written = 0;

void seed(const QString &name, const QByteArray &hexPrefix, const QByteArray &stream) {
    const QByteArray bytes = QByteArray::fromHex(hexPrefix) + stream;
    QFile file(out + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        std::exit(1);
    }
    ++written;
}

// Every value kind of one layout, top level and in (nested) lists: names and values each in
// two messages, the values three times over, then a body with only a start index.
QByteArray variables(int l) {
    const QByteArray element = var::list(l, {var::integer(l, -2), var::string(l, "in")});
    const QList<QByteArray> values = {
        var::none(l),
        var::string(l, "hello"),
        var::integer(l, 42),
        var::real(l, 0.333f),
        var::byte(l, 200),
        var::pose(l, {1.5f, 0, 0, 0, 0, 0}),
        var::list(l, {var::integer(l, 1), var::integer(l, 2)}),
        var::list(l, {element, var::list(l, {element}), var::real(l, 2.5f)}),
        var::raw(12, QByteArray(4, '\x01'))};
    QList<QByteArray> names = {"a"};
    for (int i = 1; i < values.size(); ++i)
        names.append("v" + QByteArray::number(i));
    const QByteArray series = urenc::variablesValueMessage(0, values.mid(0, 4)) +
                              urenc::variablesValueMessage(4, values.mid(4));
    return urenc::variableArrayMessage(0, names.mid(0, 4)) +
           urenc::variableArrayMessage(4, names.mid(4)) + series + series + series +
           urenc::variablesValueMessage(0, {});
}

} // namespace

int main(int argc, char **argv) {
    out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (out.isEmpty() || !QDir().mkpath(out)) {
        std::fprintf(stderr, "usage: %s <output directory> [<captures directory>]\n", argv[0]);
        return 2;
    }
    const QByteArray state = urenc::fullRobotState({}, {}, {}, {}, {});
    const QByteArray version = urenc::versionMessage("URControl", 5, 12, 3, 1234);

    // Whole reads, then reads that cut messages in odd places.
    seed("robot-state-cut", "0003090114", state + state);
    seed("version-empty-name", "0102020202", urenc::versionMessage("", 3, 2));
    seed("mixed", "100a1e023c",
         version + state + urenc::titledTextMessage("a", "Picking") + state +
             urenc::message(5, QByteArray(40, '\x11')) + urenc::titledTextMessage("a", "Placing"));
    seed("faulty-length", "00ff01ffff", state + QByteArray("\0\0\0\0\x10", 5) + state);
    seed("names-file", "0cffffffff", urenc::variableArrayMessage(0, {"a", "b"}) + version);

    // Program variables in every layout, chosen by the setting ("1", "2", "3") and by Auto.
    for (int layout = 1; layout <= 3; ++layout) {
        const QByteArray options = "0" + QByteArray::number(layout + 1);
        seed(QString("variables-layout%1").arg(layout), options + "ffffffff", variables(layout));
        seed(QString("variables-layout%1-cut").arg(layout), options + "050111c8",
             variables(layout));
    }
    seed("auto-5.12", "01ffffffff", urenc::versionMessage("URControl", 5, 12) + variables(3));
    seed("auto-3.10", "01ffffffff", urenc::versionMessage("URControl", 3, 10) + variables(2));

    if (argc > 2) {
        const QDir captures(QString::fromLocal8Bit(argv[2]));
        for (const QString &name : captures.entryList({"*.bin"}, QDir::Files)) {
            const QByteArray bytes = urenc::capture(captures.path(), name);
            seed("capture-" + name, "00ffffffff", bytes);
            seed("capture-cut-" + name, "01070d011f", bytes);
        }
    }
    std::printf("%d seeds written to %s\n", written, argv[1]);
    return 0;
}
