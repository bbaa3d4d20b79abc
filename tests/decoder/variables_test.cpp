// Program variables: names and their file, values by layout, counting of value series.
#include "decoder_support.h"
#include "urdecoder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <csignal>
#include <sys/resource.h>

namespace {

namespace var = urenc::var;
using urenc::variableArrayMessage;
using urenc::variablesValueMessage;

class DecoderVariables : public DecoderTest {};

const QByteArray version = urenc::versionMessage("P", 5, 9);

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "<none>";
}

bool put(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

TEST_F(DecoderVariables, NamesGoToTheRecordTheFileAndTheHostOnce) {
    QTextCodec *const locale = QTextCodec::codecForLocale(); // the file is UTF-8 all the same
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    const QByteArray size = "Gr\xC3\xB6\xC3\x9F"
                            "e"; // Größe
    urinstance robot = robotAt("127.0.4.1");
    feed(&robot, variableArrayMessage(0, {size, "b"}) + variableArrayMessage(2, {"c"}) + version);
    QTextCodec::setCodecForLocale(locale);
    EXPECT_EQ(contents(dataDir.filePath("127.0.4.1")), "0," + size + "\n1,b\n2,c\n");
    urinstance restarted = robotAt("127.0.4.1", true); // reads them back from the file
    feed(&restarted, version);
    EXPECT_EQ(restarted.variableNames.values(), QStringList({QString::fromUtf8(size), "b", "c"}));

    // From index 0 the names start over; the text after the last LF is no name.
    feed(&robot, variableArrayMessage(0, {"b", "y"}, false));
    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, "b"}}));
    EXPECT_EQ(host().addedItems().size(), 3); // each name offered once
}

// A set of names in one message or several: the file is written when the set ends (at the next
// message of another kind), whole, and only if it differs from the file, in length too.
TEST_F(DecoderVariables, NamesFileIsWrittenWholeOnlyWhenTheSetChanged) {
    // clang-format off
    const struct { QList<QPair<int, QList<QByteArray>>> set; QByteArray file; } table[] = {
        {{{0, {"a"}}, {1, {"b"}}, {2, {"c"}}}, "0,a\n1,b\n2,c\n"},
        {{{0, {"a"}}, {1, {"b"}}, {2, {"c"}}}, ""}, {{{0, {"a", "b", "c"}}}, ""},
        {{{0, {"a", "b"}}}, "0,a\n1,b\n"},
        {{{0, {"a"}}, {1, {"b"}}, {2, {"x"}}}, "0,a\n1,b\n2,x\n"},
        {{{0, {"a"}}, {0, {"a"}}, {1, {"b"}}, {2, {"x"}}}, ""}}; // cut short, then sent again
    // clang-format on
    urinstance robot = robotAt("127.0.4.3");
    const QString path = dataDir.filePath("127.0.4.3");
    for (const auto &row : table) {
        ASSERT_TRUE(put(path, "kept\n"));
        for (const auto &message : row.set)
            feed(&robot, variableArrayMessage(uint16_t(message.first), message.second));
        EXPECT_EQ(contents(path), "kept\n") << "before the set ended: " << row.file.data();
        feed(&robot, version);
        EXPECT_EQ(contents(path), row.file.isEmpty() ? "kept\n" : row.file);
    }
}

// Whatever becomes of the file, the names are the record's and items at once; a failed write
// keeps the old file and is told once per robot, and again only after a write succeeded.
TEST_F(DecoderVariables, NamesOutliveAFileThatCannotBeWritten) {
    const QString plain = dataDir.filePath("plain");
    QList<QByteArray> all, sevens;
    for (int i = 0; i <= 300; ++i)
        all << "name" + QByteArray::number(i), sevens << var::integer(1, 7);
    const QByteArray values = variablesValueMessage(0, sevens.mid(1));
    rlimit unlimited{}, small{1000, RLIM_INFINITY}; // a disk with room for 1000 bytes
    ASSERT_TRUE(getrlimit(RLIMIT_FSIZE, &unlimited) == 0 && signal(SIGXFSZ, SIG_IGN) != SIG_ERR);
    const struct {
        QString directory, address, path, reason;
    } table[] = {{plain, "127.0.4.4", plain + "/127.0.4.4", "Not a directory"},
                 {QString(), "127.0.4.5", "", "The host gives no files directory"},
                 {dataDir.path(), "plain", plain, "File too large"}};
    for (const auto &row : table) {
        SCOPED_TRACE(row.address.toStdString());
        host().reset();
        urinstance robot = robotAt(row.address);
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(put(plain, "0,old\n"));
            const QByteArray names = variableArrayMessage(0, all.mid(round, 300));
            host().setDataDirectory(row.directory);
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
            feed(&robot, names + values + names + values + values);
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
            EXPECT_EQ(robot.variableValues.value("name100"), "7");
            EXPECT_EQ(host().countLogsContaining("Could not write file for UR variables. (WRITE) " +
                                                 row.reason + " File: " + row.path),
                      round + 1);
            EXPECT_EQ(contents(plain), "0,old\n");
            // Told again once a write succeeded; a file that failed is written even unchanged.
            host().setDataDirectory(dataDir.path());
            feed(&robot, names + values);
            ASSERT_TRUE(QFile::remove(dataDir.filePath(row.address)));
        }
        EXPECT_EQ(host().addedItems().size(), 301);
    }
}

TEST_F(DecoderVariables, NamesFileIsReadOnceOnTheFirstRead) {
    QFile names(dataDir.filePath("127.0.4.7"));
    ASSERT_TRUE(names.open(QIODevice::WriteOnly) &&
                names.write("5,x,y\nx,name\n7,seven\nlonely\n\n12,twelve") > 0);
    names.close();
    ASSERT_TRUE(QDir(dataDir.path()).mkdir("127.0.4.10")); // a "file" that cannot be read
    QMap<int, QString> expected{{0, "name"}, {7, "seven"}, {12, "twelve"}}; // the well-formed lines
    for (const char *address : {"127.0.4.7", "127.0.4.9", "127.0.4.10"}) {
        urinstance robot = robotAt(address, true);
        feed(&robot, version + version);
        EXPECT_EQ(robot.variableNames, expected) << address;
        expected.clear();
        robot.variableNames.clear();
        feed(&robot, version); // not read again
        EXPECT_TRUE(robot.variableNames.isEmpty());
    }
    EXPECT_EQ(host().countLogsContaining("Loading variable array"), 3);
    EXPECT_EQ(host().countLogsContaining("Variable array file does not exists"), 1);
    EXPECT_EQ(host().countLogsContaining("Could not open last used UR robot variables. (READ)"), 1);
    EXPECT_TRUE(host().addedItems().isEmpty());
}

TEST_F(DecoderVariables, FileNameIsTheAddressMadeSafe) {
    // clang-format off
    const std::pair<QString, QString> table[] = {
        {"192.168.0.7", "192.168.0.7"}, {"fe80::1%eth0", "fe80::1%eth0"}, {"ur.local", "ur.local"},
        {"../../etc/x", ".._.._etc_x"}, {"a/b", "a_b"}, {"a\\b", "a_b"}, {"..", "_"}, {".", "_"},
        {QString(), "_"}, {QString::fromLatin1("a\0b\nc\x7f", 6), "a_b_c_"}};
    // clang-format on
    for (const auto &row : table)
        EXPECT_EQ(urdecode::variablesFileName(row.first), row.second);

    const QString inner = dataDir.path() + "/data/plugin";
    ASSERT_TRUE(QDir().mkpath(inner));
    host().setDataDirectory(inner);
    for (const char *address : {"../../x", "../plugin2/y", "/abs", ".."}) {
        urinstance robot = robotAt(address);
        feed(&robot, variableArrayMessage(0, {"n"}) + version);
        EXPECT_EQ(robot.variableNames.value(0), "n") << address;
    }
    EXPECT_FALSE(QFile::exists(dataDir.path() + "/x"));
    EXPECT_EQ(QDir(inner).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              QStringList({".._.._x", ".._plugin2_y", "_", "_abs"}));
}

// Values, one at a time: text and the bytes taken (code, payload, trailing byte).

struct Value {
    int layout;
    QByteArray data;
    QString text;
    uint32_t size;
};

void expectValues(std::initializer_list<Value> table) {
    for (const Value &v : table) {
        QString text;
        const uint32_t size = urdecode::variable(ByteView(v.data), v.layout, 0, &text);
        EXPECT_EQ(text, v.text) << "layout " << v.layout << ": " << v.data.toHex().toStdString();
        EXPECT_EQ(size, v.size) << "layout " << v.layout << ": " << v.data.toHex().toStdString();
    }
}

QByteArray hex(const char *text) {
    return QByteArray::fromHex(text);
}

TEST_F(DecoderVariables, ValuesAsTheControllerSendsThem) {
    const QString pose = "p[0.00000, 0.00000, 0.00000, 0.00000, 0.00000, 0.00000]";
    // clang-format off
    expectValues({
        {3, hex("0f0000002a00"), "42", 6}, {3, hex("0ffffffffe00"), "-2", 6},
        {3, hex("1100020f000000010f0000000200"), "[1,2]", 14}, {3, hex("030002686900"), "hi", 6},
        {3, hex("103eaaaaab00"), "0.333333", 6}, {3, hex("0dc800"), "200", 3},
        // Codes belong to their layout: 4 is a list in layout 1 and a string later; 12 is not
        // supported in layout 1, a byte in 2 and a pose in 3; unlisted codes take two bytes.
        {1, hex("0400014100"), "[]", 5}, {2, hex("0400014100"), "A", 5},
        {3, hex("0400014100"), "A", 5}, {1, hex("0c070000"), "", 2}, {2, hex("0c0700"), "7", 3},
        {3, hex("0c0700"), pose, 26}, {1, hex("0f112233"), "", 2}, {2, hex("11112233"), "", 2},
        {3, hex("05112233"), "", 2}, {3, hex("c8112233"), "", 2},
        // Values cut short read zeros; list elements past the end count a byte each.
        {3, hex("0f00"), "0", 6}, {3, hex("03000541"), "A", 9}, {3, hex(""), "", 2},
        {3, hex("1100030f00000001"), "[1]", 11}});
    // clang-format on

    // Not supported: told once per message, however many such values and elements it holds.
    const QByteArray unsupported = variablesValueMessage( // layout 1: no setting, no version
        0, QList<QByteArray>() << hex("0c00").repeated(999) << var::list(1, {hex("0c00")}));
    decode(variableArrayMessage(0, {"a"}) + unsupported + unsupported);
    EXPECT_EQ(host().countLogsContaining("Numeric value not supported!"), 2);

    // Every kind in every layout, as the encoder writes them.
    for (int l = 1; l <= 3; ++l) {
        const QByteArray nested = var::list(
            l, {var::list(l, {var::integer(l, 1), var::integer(l, 2)}), var::string(l, "s"),
                var::list(l, {var::list(l, {var::byte(l, 5)})}), var::list(l, {})});
        // clang-format off
        expectValues({
            {l, var::none(l), "", 2}, {l, var::string(l, "hello"), "hello", 9},
            {l, var::integer(l, -123456), "-123456", 6}, {l, var::real(l, 1.5f), "1.5", 6},
            {l, var::real(l, 1e6f), "1e+06", 6}, {l, var::byte(l, 255), "255", 3},
            {l, var::pose(l, {0.5f, -1.25f, 2.0f, 0.0f, 3.5f, -0.125f}),
             "p[0.50000, -1.25000, 2.00000, 0.00000, 3.50000, -0.12500]", 26},
            {l, nested + "tail", "[[1,2],s,[[5]],[]]", uint32_t(nested.size())}});
        // clang-format on
    }
}

TEST_F(DecoderVariables, NestingAndCountsAreBounded) {
    // 32 lists in one another around an integer, and 33: the innermost list is then empty
    // text and takes only its code.
    const QString open(32, QLatin1Char('[')), close(32, QLatin1Char(']'));
    expectValues({{3, hex("110001").repeated(32) + hex("0f0000000700"), open + "7" + close, 102},
                  {3, hex("110001").repeated(33) + hex("0f0000000700"), open + close, 98},
                  // A count far past the end is counted, not listed; so on every level.
                  {3, hex("11ffff"), "[]", 2 + 2 + 65535},
                  {3, hex("11ffff").repeated(32), open + close, 65539 + 31 * 65537}});
}

TEST_F(DecoderVariables, NamesBeyondTheBoundAreNoItemsTheOthersKeepTheirValues) {
    QList<QByteArray> names, values;
    for (int i = 0; i < URWrapper::maxVariableNames + 2; ++i)
        names << "v" + QByteArray::number(i), values << var::integer(1, i);
    urinstance robot = robotAt("127.0.4.8");
    const QByteArray series = variablesValueMessage(0, values);
    feed(&robot, variableArrayMessage(0, names) + variableArrayMessage(0, {"w0", "w1"}) +
                     variableArrayMessage(2, names.mid(2)) + series + series);
    EXPECT_EQ(host().addedItems().size(), URWrapper::maxVariableNames);
    EXPECT_EQ(host().countLogsContaining("program variable names: new names are not"), 1);
    EXPECT_EQ(robot.variableValues.size(), URWrapper::maxVariableNames - 2);
    EXPECT_EQ(robot.variableValues.value("v4095"), "4095");

    // One name repeated 300,000 times keeps as many entries and file lines as the bound, and a
    // file that holds more is read up to the bound. Values beyond the names make no names:
    // those of the names still arrive.
    robot = robotAt("127.0.4.9");
    feed(&robot, variableArrayMessage(0, QVector<QByteArray>(300000, "x").toList()) + version);
    EXPECT_EQ(robot.variableNames.size(), URWrapper::maxVariableNames);
    EXPECT_EQ(QFileInfo(dataDir.filePath("127.0.4.9")).size(), 27562);
    put(dataDir.filePath("127.0.4.9"), contents(dataDir.filePath("127.0.4.8")) + "5000,y\n");
    robot = robotAt("127.0.4.9", true);
    feed(&robot, version);
    EXPECT_EQ(robot.variableNames.size(), URWrapper::maxVariableNames);
    const QByteArray many =
        variablesValueMessage(0, QVector<QByteArray>(150000, var::integer(1, 5)).toList());
    robot = robotAt("127.0.4.10");
    feed(&robot, variableArrayMessage(0, {"a"}) + variablesValueMessage(0, {var::integer(1, 4)}) +
                     many + variablesValueMessage(0, {var::integer(1, 6)}));
    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, "a"}}));
    EXPECT_EQ(robot.variableValues, (QMap<QString, QString>{{"a", "6"}}));
}

// Layout choice: by the device setting "version", or for Auto by the controller version.

TEST_F(DecoderVariables, LayoutBySettingOrControllerVersion) {
    // clang-format off
    const struct { const char *setting; int major, minor, layout; } table[] = {
        {"1", 5, 12, 1}, {"2", 5, 12, 2}, {"3", 3, 2, 3}, {"4", 3, 2, 3}, {"99", 3, 2, 3},
        {"-1", 3, 2, 3}, {"0", 5, 12, 3}, {"0", 5, 9, 3}, {"0", 5, 8, 2}, {"0", 5, 0, 2},
        {nullptr, 3, 2, 1}, {nullptr, 3, 3, 2}, {"0", 3, 13, 2}, {"0", 3, 14, 3}, {"0", 10, 1, 3},
        {"Auto", 3, 15, 3}, {"0", 6, 0, 3}, {"0", 4, 0, 2}, {"0", 4, 9, 2}, {"Auto", 2, 9, 1},
        {"0", 0, 0, 1}};
    // clang-format on
    for (const auto &row : table) {
        urinstance robot = robotAt("127.0.4.20");
        if (row.setting)
            robot.device.settings.insert("version", row.setting);
        robot.versionMajor = row.major;
        robot.versionMinor = row.minor;
        EXPECT_EQ(urdecode::variableLayout(robot), row.layout)
            << (row.setting ? row.setting : "none") << " " << row.major << "." << row.minor;
    }
}

// Value series: the first round of a series is only counted, later rounds are stored.

TEST_F(DecoderVariables, FirstRoundIsCountedLaterRoundsAreStored) {
    const auto values = [](uint16_t start, std::initializer_list<int> numbers) {
        QList<QByteArray> list;
        for (int n : numbers)
            list.append(var::integer(3, n));
        return variablesValueMessage(start, list);
    };
    urinstance robot = robotAt("127.0.4.30");
    robot.device.settings.insert("version", "3");
    feed(&robot, values(0, {1}) + values(0, {1})); // values before names are ignored
    EXPECT_EQ(robot.variableCountTotal, 0);
    feed(&robot, variableArrayMessage(0, {"a", "b"}) + values(0, {1}) + values(1, {2}));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    EXPECT_EQ(robot.variableCounts, (QMap<int, int>{{0, 1}, {1, 1}}));
    feed(&robot, values(0, {3}) + values(1, {4}));
    EXPECT_EQ(robot.variableValues, (QMap<QString, QString>{{"a", "3"}, {"b", "4"}}));

    // New names start a new series; with more values counted than names, the next round
    // starts the counting afresh.
    feed(&robot, variableArrayMessage(0, {"a", "b"}) + values(0, {1, 2}) + values(2, {3}));
    EXPECT_EQ(robot.variableCountTotal, 3);
    feed(&robot, values(0, {4, 5}));
    EXPECT_TRUE(robot.variableValues.isEmpty() && robot.variableCounts.isEmpty());
    feed(&robot, values(0, {6, 7}) + values(0, {8, 9}));
    EXPECT_EQ(robot.variableValues, (QMap<QString, QString>{{"a", "8"}, {"b", "9"}}));

    // A string of 65532 bytes takes 65536: more than 16 bits can say, yet the body stays in step.
    const QByteArray longValues =
        variablesValueMessage(0, {var::string(3, QByteArray(65532, 'q')), var::integer(3, 12)});
    feed(&robot, longValues + longValues);
    EXPECT_EQ(robot.variableValues.value("a").size(), 65532);
    EXPECT_EQ(robot.variableValues.value("b"), "12");
}

} // namespace
