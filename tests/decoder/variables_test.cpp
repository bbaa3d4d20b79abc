// Program variables: names and their file, values by layout, counting of value series.
#include "decoder_support.h"
#include "urdecoder.h"

#include <QDir>
#include <QFile>
#include <QTextCodec>

#include <array>

namespace {

using namespace dectest;
namespace var = urenc::var;

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

class DecoderVariables : public DecoderTest {
protected:
    QString filePath(const QString &name) const { return dataDir.path() + QLatin1Char('/') + name; }

    QByteArray fileContent(const QString &name) const {
        QFile file(filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return "<missing>";
        return file.readAll();
    }

    void writeFile(const QString &name, const QByteArray &content) const {
        QFile file(filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    struct Value {
        QString text;
        int size;
    };

    Value decodeValue(const QByteArray &data, int layout) {
        urinstance robot = robotAt(QStringLiteral("127.0.4.99"));
        robot.device.settings.insert(QStringLiteral("version"), QString::number(layout));
        QList<QString> values;
        const int size = URWrapper().processVariable(data, &robot, &values);
        EXPECT_EQ(values.size(), 1);
        return {values.value(0), size};
    }

    // A robot whose program has the given variables, announced by a variable array message.
    urinstance robotWithNames(const QString &address, const QList<QByteArray> &names) {
        urinstance robot = robotAt(address);
        robot.device.settings.insert(QStringLiteral("version"), QStringLiteral("3"));
        feed(&robot, urenc::variableArrayMessage(0, names));
        return robot;
    }
};

// Names and their file.

TEST_F(DecoderVariables, ArrayFromIndexZeroRewritesNamesFileAndOffersItems) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.1"));
    robot.variableValues.insert(QStringLiteral("stale"), QStringLiteral("1"));
    robot.variableCounts.insert(0, 4);
    robot.variableCountTotal = 4;
    feed(&robot, urenc::variableArrayMessage(0, {"a", "b"}));

    EXPECT_EQ(robot.variableNames,
              (QMap<int, QString>{{0, QStringLiteral("a")}, {1, QStringLiteral("b")}}));
    EXPECT_EQ(fileContent(QStringLiteral("127.0.4.1")), QByteArray("0,a\n1,b\n"));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    EXPECT_TRUE(robot.variableCounts.isEmpty());
    EXPECT_EQ(robot.variableCountTotal, 0);

    const QList<ItemInstancePlugin> items = host().addedItems();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items.at(0).uid, QStringLiteral("a"));
    EXPECT_EQ(items.at(0).name, QStringLiteral("a (User variable)"));
    EXPECT_EQ(items.at(0).deviceId, 3);
    EXPECT_EQ(items.at(0).hostInt4, 1);
    EXPECT_FALSE(items.at(0).hostFlag1);
    EXPECT_FALSE(items.at(0).hostFlag3);
    EXPECT_EQ(items.at(0).readIntervalMs, 0);
    EXPECT_TRUE(items.at(0).unit.isEmpty());
    EXPECT_EQ(items.at(1).uid, QStringLiteral("b"));
    EXPECT_TRUE(logs(QStringLiteral("debug"))
                    .contains(QStringLiteral("Variable array receieved from robot. Writing to text "
                                             "file: 127.0.4.1. Robot: 127.0.4.1")));

    feed(&robot, urenc::variableArrayMessage(0, {"x"}));
    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, QStringLiteral("x")}}));
    EXPECT_EQ(fileContent(QStringLiteral("127.0.4.1")), QByteArray("0,x\n"));
}

TEST_F(DecoderVariables, TextAfterTheLastLineFeedIsNotAName) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.2"));
    feed(&robot, urenc::variableArrayMessage(0, {"a", "b"}, false));
    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, QStringLiteral("a")}}));
    EXPECT_EQ(fileContent(QStringLiteral("127.0.4.2")), QByteArray("0,a\n"));
    EXPECT_EQ(addedUids(), QStringList{QStringLiteral("a")});
}

TEST_F(DecoderVariables, NamesEndAtAZeroByte) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.3"));
    QByteArray message = urenc::variableArrayMessage(0, {"a", "b", "c"});
    message[14 + 2 + 2] = '\0'; // "a\nb\nc\n" becomes "a\n", a zero, "\nc\n"
    feed(&robot, message);
    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, QStringLiteral("a")}}));
}

TEST_F(DecoderVariables, ArrayFromAnotherIndexAppends) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.4"));
    feed(&robot, urenc::variableArrayMessage(0, {"a", "b"}));
    feed(&robot, urenc::variableArrayMessage(2, {"c"}));
    EXPECT_EQ(robot.variableNames,
              (QMap<int, QString>{
                  {0, QStringLiteral("a")}, {1, QStringLiteral("b")}, {2, QStringLiteral("c")}}));
    EXPECT_EQ(fileContent(QStringLiteral("127.0.4.4")), QByteArray("0,a\n1,b\n2,c\n"));
}

TEST_F(DecoderVariables, UnwritableFileChangesNothing) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.5"));
    feed(&robot, urenc::variableArrayMessage(0, {"a"}));
    robot.variableValues.insert(QStringLiteral("a"), QStringLiteral("1"));
    robot.variableCounts.insert(0, 1);
    robot.variableCountTotal = 1;
    host().clearRecords();

    const QString missing = dataDir.path() + QStringLiteral("/no/such/dir");
    host().setDataDirectory(missing);
    feed(&robot, urenc::variableArrayMessage(0, {"x", "y"}));

    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, QStringLiteral("a")}}));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("a")), QStringLiteral("1"));
    EXPECT_EQ(robot.variableCountTotal, 1);
    EXPECT_EQ(robot.variableCounts.value(0), 1);
    EXPECT_TRUE(addedUids().isEmpty());
    const QStringList errors = logs(QStringLiteral("error"));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(
        errors.at(0).startsWith(QStringLiteral("Could not write file for UR variables. (WRITE) ")))
        << errors.at(0).toStdString();
    EXPECT_TRUE(
        errors.at(0).endsWith(QStringLiteral(" File: ") + missing + QStringLiteral("/127.0.4.5")))
        << errors.at(0).toStdString();
}

TEST_F(DecoderVariables, WithoutADataDirectoryNothingIsWrittenAnywhere) {
    // An empty directory must not turn the file name into a path at the root.
    urinstance robot = robotAt(QStringLiteral("127.0.4.9"));
    host().setDataDirectory(QString());
    feed(&robot, urenc::variableArrayMessage(0, {"a"}));
    EXPECT_TRUE(robot.variableNames.isEmpty());
    EXPECT_FALSE(QFile::exists(QStringLiteral("/127.0.4.9")));
    const QStringList errors = logs(QStringLiteral("error"));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(
        errors.at(0).startsWith(QStringLiteral("Could not write file for UR variables. (WRITE) ")));
}

TEST_F(DecoderVariables, EachNameIsOfferedOncePerRecord) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.6"));
    ItemInstancePlugin existing;
    existing.uid = QStringLiteral("known");
    robot.device.items.append(existing);

    feed(&robot, urenc::variableArrayMessage(0, {"a", "known", "b"}));
    feed(&robot, urenc::variableArrayMessage(0, {"a", "b", "c"}));
    feed(&robot, urenc::variableArrayMessage(3, {"a"}));
    EXPECT_EQ(addedUids(),
              (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
    EXPECT_EQ(logs(QStringLiteral("debug")).filter(QStringLiteral("Add item (")).size(), 3);

    // A new record (after a restart of the worker) offers them again.
    urinstance again = robotAt(QStringLiteral("127.0.4.6"));
    feed(&again, urenc::variableArrayMessage(0, {"a"}));
    EXPECT_EQ(addedUids().size(), 4);
}

TEST_F(DecoderVariables, NamesFileIsLoadedOnceOnTheFirstRead) {
    writeFile(QStringLiteral("127.0.4.7"), "0,a\n1,b\n");
    urinstance robot = robotAt(QStringLiteral("127.0.4.7"), true);
    feed(&robot, urenc::versionMessage("P", 5, 9));
    EXPECT_TRUE(robot.variablesFileLoaded);
    EXPECT_EQ(robot.variableNames,
              (QMap<int, QString>{{0, QStringLiteral("a")}, {1, QStringLiteral("b")}}));
    EXPECT_TRUE(addedUids().isEmpty());
    EXPECT_EQ(logs(QStringLiteral("debug")).first(),
              QStringLiteral("Loading variable array from text file. Robot: 127.0.4.7"));

    writeFile(QStringLiteral("127.0.4.7"), "0,z\n");
    robot.variableNames.clear();
    feed(&robot, urenc::versionMessage("P", 5, 9));
    EXPECT_TRUE(robot.variableNames.isEmpty());
    EXPECT_EQ(host().countLogsContaining(QStringLiteral("Loading variable array")), 1);
}

TEST_F(DecoderVariables, KnownNamesAreNotReplacedFromTheFile) {
    writeFile(QStringLiteral("127.0.4.8"), "0,fromfile\n");
    urinstance robot = robotAt(QStringLiteral("127.0.4.8"), true);
    robot.variableNames.insert(0, QStringLiteral("live"));
    feed(&robot, urenc::versionMessage("P", 5, 9));
    EXPECT_EQ(robot.variableNames.value(0), QStringLiteral("live"));
    EXPECT_EQ(host().countLogsContaining(QStringLiteral("Loading variable array")), 0);
}

TEST_F(DecoderVariables, MissingNamesFileIsTriedOnce) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.9"), true);
    feed(&robot, urenc::versionMessage("P", 5, 9));
    feed(&robot, urenc::versionMessage("P", 5, 9));
    EXPECT_TRUE(robot.variablesFileLoaded);
    EXPECT_TRUE(robot.variableNames.isEmpty());
    EXPECT_EQ(logs(QStringLiteral("debug"))
                  .filter(QStringLiteral("Variable array file does not exists. Robot: 127.0.4.9"))
                  .size(),
              1);
    EXPECT_TRUE(logs(QStringLiteral("error")).isEmpty());
}

TEST_F(DecoderVariables, UnreadableNamesFileLogsAnErrorOnce) {
    // A directory where the file should be exists but cannot be read as a file.
    ASSERT_TRUE(QDir(dataDir.path()).mkdir(QStringLiteral("127.0.4.10")));
    urinstance robot = robotAt(QStringLiteral("127.0.4.10"), true);
    feed(&robot, urenc::versionMessage("P", 5, 9));
    feed(&robot, urenc::versionMessage("P", 5, 9));
    const QStringList errors = logs(QStringLiteral("error"));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.at(0).startsWith(
        QStringLiteral("Could not open last used UR robot variables. (READ) ")));
    EXPECT_TRUE(errors.at(0).endsWith(QStringLiteral(" File: ") + filePath("127.0.4.10")));
    EXPECT_TRUE(robot.variablesFileLoaded);
    EXPECT_TRUE(robot.variableNames.isEmpty());
}

TEST_F(DecoderVariables, FileLinesWithTheWrongFieldCountAreSkipped) {
    writeFile(QStringLiteral("127.0.4.11"), "5,x,y\nx,name\n7,seven\nlonely\n\n12,twelve");
    urinstance robot = robotAt(QStringLiteral("127.0.4.11"), true);
    feed(&robot, urenc::versionMessage("P", 5, 9));
    EXPECT_EQ(robot.variableNames, (QMap<int, QString>{{0, QStringLiteral("name")},
                                                       {7, QStringLiteral("seven")},
                                                       {12, QStringLiteral("twelve")}}));
}

TEST_F(DecoderVariables, NamesFileIsUtf8WhateverTheLocale) {
    QTextCodec *const previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    const QByteArray size = "Gr\xC3\xB6\xC3\x9F"
                            "e";                        // Größe
    const QByteArray heat = "\xE6\xB8\xA9\xE5\xBA\xA6"; // 温度
    urinstance robot = robotAt(QStringLiteral("127.0.4.12"));
    feed(&robot, urenc::variableArrayMessage(0, {size, heat}));
    EXPECT_EQ(fileContent(QStringLiteral("127.0.4.12")), "0," + size + "\n1," + heat + "\n");

    urinstance restarted = robotAt(QStringLiteral("127.0.4.12"), true);
    feed(&restarted, urenc::versionMessage("P", 5, 9));
    QTextCodec::setCodecForLocale(previous);
    EXPECT_EQ(restarted.variableNames.value(0), QString::fromUtf8(size));
    EXPECT_EQ(restarted.variableNames.value(1), QString::fromUtf8(heat));
}

TEST_F(DecoderVariables, FileNameKeepsPlainAddresses) {
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("192.168.0.7")),
              QStringLiteral("192.168.0.7"));
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("ur5e-cell2.example.local")),
              QStringLiteral("ur5e-cell2.example.local"));
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("fe80::1%eth0")),
              QStringLiteral("fe80::1%eth0"));
}

TEST_F(DecoderVariables, FileNameCannotLeadOutOfTheDataDirectory) {
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("../../etc/x")),
              QStringLiteral(".._.._etc_x"));
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("a/b")), QStringLiteral("a_b"));
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("a\\b")), QStringLiteral("a_b"));
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral("..")), QStringLiteral("_"));
    EXPECT_EQ(urdecode::variablesFileName(QStringLiteral(".")), QStringLiteral("_"));
    EXPECT_EQ(urdecode::variablesFileName(QString()), QStringLiteral("_"));
    EXPECT_EQ(urdecode::variablesFileName(QString::fromLatin1("a\0b\nc\x7f", 6)),
              QStringLiteral("a_b_c_"));
}

TEST_F(DecoderVariables, HostileAddressWritesInsideTheDataDirectory) {
    const QString inner = dataDir.path() + QStringLiteral("/data/plugin");
    ASSERT_TRUE(QDir().mkpath(inner));
    host().setDataDirectory(inner);
    for (const QString &address : {QStringLiteral("../../x"), QStringLiteral("../plugin2/y"),
                                   QStringLiteral("/abs"), QStringLiteral("..")}) {
        urinstance robot = robotAt(address);
        feed(&robot, urenc::variableArrayMessage(0, {"n"}));
        EXPECT_EQ(robot.variableNames.value(0), QStringLiteral("n")) << address.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dataDir.path() + QStringLiteral("/x")));
    EXPECT_FALSE(QFile::exists(dataDir.path() + QStringLiteral("/data/plugin2")));
    EXPECT_FALSE(QFile::exists(QStringLiteral("/abs")));
    EXPECT_EQ(QDir(inner).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{QStringLiteral(".._.._x"), QStringLiteral(".._plugin2_y"),
                           QStringLiteral("_"), QStringLiteral("_abs")}));
}

// Values, one at a time.

TEST_F(DecoderVariables, Layout3ByteExamples) {
    Value v = decodeValue(bytes({0x0F, 0, 0, 0, 0x2A, 0x00}), 3);
    EXPECT_EQ(v.text, QStringLiteral("42"));
    EXPECT_EQ(v.size, 6);
    v = decodeValue(bytes({0x0F, 0xFF, 0xFF, 0xFF, 0xFE, 0x00}), 3);
    EXPECT_EQ(v.text, QStringLiteral("-2"));
    v = decodeValue(bytes({0x11, 0x00, 0x02, 0x0F, 0, 0, 0, 1, 0x0F, 0, 0, 0, 2, 0x00}), 3);
    EXPECT_EQ(v.text, QStringLiteral("[1,2]"));
    EXPECT_EQ(v.size, 14);
    v = decodeValue(bytes({0x03, 0x00, 0x02, 0x68, 0x69, 0x00}), 3);
    EXPECT_EQ(v.text, QStringLiteral("hi"));
    EXPECT_EQ(v.size, 6);
    v = decodeValue(bytes({0x10, 0x3E, 0xAA, 0xAA, 0xAB, 0x00}), 3);
    EXPECT_EQ(v.text, QStringLiteral("0.333333"));
    EXPECT_EQ(v.size, 6);
    v = decodeValue(bytes({0x0D, 0xC8, 0x00}), 3);
    EXPECT_EQ(v.text, QStringLiteral("200"));
    EXPECT_EQ(v.size, 3);
    QByteArray pose = bytes({0x0C, 0x3F, 0xC0, 0, 0});
    pose.append(QByteArray(21, '\0'));
    v = decodeValue(pose, 3);
    EXPECT_EQ(v.text, QStringLiteral("p[1.50000, 0.00000, 0.00000, 0.00000, 0.00000, 0.00000]"));
    EXPECT_EQ(v.size, 26);
}

TEST_F(DecoderVariables, EveryKindInEveryLayout) {
    const std::array<float, 6> pose = {0.5f, -1.25f, 2.0f, 0.0f, 3.5f, -0.125f};
    const QString poseText =
        QStringLiteral("p[0.50000, -1.25000, 2.00000, 0.00000, 3.50000, -0.12500]");
    for (int layout = 1; layout <= 3; ++layout) {
        SCOPED_TRACE(layout);
        struct Case {
            QByteArray data;
            QString text;
            int size;
        };
        const Case cases[] = {
            {var::none(layout), QString(), 2},
            {var::string(layout, "hello"), QStringLiteral("hello"), 2 + 2 + 5},
            {var::integer(layout, -123456), QStringLiteral("-123456"), 6},
            {var::integer(layout, 2147483647), QStringLiteral("2147483647"), 6},
            {var::real(layout, 1.5f), QStringLiteral("1.5"), 6},
            {var::real(layout, 1e6f), QStringLiteral("1e+06"), 6},
            {var::real(layout, -0.333333f), QStringLiteral("-0.333333"), 6},
            {var::byte(layout, 255), QStringLiteral("255"), 3},
            {var::pose(layout, pose), poseText, 26},
            {var::list(layout,
                       {var::integer(layout, 1), var::string(layout, "x"), var::byte(layout, 9)}),
             QStringLiteral("[1,x,9]"), 2 + 2 + 5 + 4 + 2},
            {var::list(layout, {}), QStringLiteral("[]"), 4},
        };
        for (const Case &c : cases) {
            const Value v = decodeValue(c.data + "tail", layout);
            EXPECT_EQ(v.text, c.text) << c.data.toHex().toStdString();
            EXPECT_EQ(v.size, c.size) << c.data.toHex().toStdString();
        }
    }
}

TEST_F(DecoderVariables, CodesBelongToTheirLayout) {
    // Code 4: list in layout 1, string in layouts 2 and 3.
    const QByteArray code4 = bytes({0x04, 0x00, 0x01, 0x41, 0x00});
    EXPECT_EQ(decodeValue(code4, 1).text, QStringLiteral("[]"));
    EXPECT_EQ(decodeValue(code4, 2).text, QStringLiteral("A"));
    EXPECT_EQ(decodeValue(code4, 3).text, QStringLiteral("A"));
    // Code 12: unsupported in layout 1, byte in 2, pose in 3.
    const QByteArray code12 = bytes({0x0C, 0x07, 0x00});
    EXPECT_EQ(decodeValue(code12, 2).text, QStringLiteral("7"));
    EXPECT_TRUE(decodeValue(code12, 3).text.startsWith(QStringLiteral("p[")));
    // Codes that a layout does not list take two bytes and give nothing.
    for (const auto &unknown :
         {std::make_pair(1, 15), std::make_pair(1, 5), std::make_pair(2, 17), std::make_pair(2, 13),
          std::make_pair(3, 5), std::make_pair(3, 14), std::make_pair(3, 200)}) {
        const Value v = decodeValue(bytes({unknown.second, 0x11, 0x22, 0x33}), unknown.first);
        EXPECT_EQ(v.text, QString()) << unknown.first << "/" << unknown.second;
        EXPECT_EQ(v.size, 2);
    }
    EXPECT_TRUE(logs(QStringLiteral("error")).isEmpty());
}

TEST_F(DecoderVariables, UnsupportedNumberLogsAnError) {
    const Value v = decodeValue(bytes({0x0C, 0x01, 0x02, 0x03}), 1);
    EXPECT_EQ(v.text, QString());
    EXPECT_EQ(v.size, 2);
    EXPECT_EQ(
        logs(QStringLiteral("error")),
        QStringList{QStringLiteral("Numeric value not supported! This will result in an error!")});
}

TEST_F(DecoderVariables, TruncatedValuesReadZeros) {
    EXPECT_EQ(decodeValue(bytes({0x0F, 0x00}), 3).text, QStringLiteral("0"));
    EXPECT_EQ(decodeValue(bytes({0x03, 0x00, 0x05, 0x41}), 3).text, QStringLiteral("A"));
    EXPECT_EQ(decodeValue(bytes({0x03, 0x00, 0x05, 0x41}), 3).size, 9);
    EXPECT_EQ(decodeValue(QByteArray(), 3).text, QString());
    // A list running past the end shows the elements that are there; the missing ones
    // still count one byte each.
    const Value cut = decodeValue(bytes({0x11, 0x00, 0x03, 0x0F, 0, 0, 0, 1}), 3);
    EXPECT_EQ(cut.text, QStringLiteral("[1]"));
    EXPECT_EQ(cut.size, 2 + 2 + 5 + 1 + 1);
}

TEST_F(DecoderVariables, NestedLists) {
    const QByteArray nested =
        var::list(3, {var::list(3, {var::integer(3, 1), var::integer(3, 2)}), var::string(3, "s"),
                      var::list(3, {var::list(3, {var::byte(3, 5)})}), var::list(3, {})});
    const Value v = decodeValue(nested + "\x0F", 3);
    EXPECT_EQ(v.text, QStringLiteral("[[1,2],s,[[5]],[]]"));
    EXPECT_EQ(v.size, nested.size());
}

TEST_F(DecoderVariables, NestingIsBoundedAt32Levels) {
    auto nestedLists = [](int levels) {
        QByteArray value = var::integer(3, 7);
        for (int i = 0; i < levels; ++i)
            value = var::list(3, {value});
        return value;
    };
    const Value deepest = decodeValue(nestedLists(32), 3);
    EXPECT_EQ(deepest.text,
              QString(32, QLatin1Char('[')) + QStringLiteral("7") + QString(32, QLatin1Char(']')));
    EXPECT_EQ(deepest.size, nestedLists(32).size());

    // One level more: the innermost list decodes as empty text.
    EXPECT_EQ(decodeValue(nestedLists(33), 3).text,
              QString(32, QLatin1Char('[')) + QString(32, QLatin1Char(']')));

    // Far deeper than any stack would take by recursion.
    QByteArray hostile;
    for (int i = 0; i < 200000; ++i)
        hostile += bytes({0x11, 0x00, 0x01});
    EXPECT_TRUE(decodeValue(hostile, 3).text.startsWith(QStringLiteral("[[[")));
}

TEST_F(DecoderVariables, HugeListCountPastTheEndIsCheap) {
    const Value v = decodeValue(bytes({0x11, 0xFF, 0xFF}), 3);
    EXPECT_EQ(v.text, QStringLiteral("[]"));
    EXPECT_EQ(v.size, 65535); // 2 + 2 + 65535 bytes claimed, reported at the largest size

    // Nested that way on every level: still only the text of what is there.
    QByteArray nested;
    for (int level = 0; level < 32; ++level)
        nested += bytes({0x11, 0xFF, 0xFF});
    const Value deep = decodeValue(nested, 3);
    EXPECT_EQ(deep.text, QString(32, QLatin1Char('[')) + QString(32, QLatin1Char(']')));
}

// Layout choice.

TEST_F(DecoderVariables, LayoutFollowsTheVersionSetting) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.20"));
    robot.versionMajor = 3; // Auto would give layout 1
    robot.versionMinor = 2;
    const std::pair<const char *, int> table[] = {{"1", 1}, {"2", 2},  {"3", 3},
                                                  {"4", 3}, {"99", 3}, {"-1", 3}};
    for (const auto &row : table) {
        robot.device.settings.insert(QStringLiteral("version"), QString::fromLatin1(row.first));
        EXPECT_EQ(urdecode::variableLayout(robot), row.second) << row.first;
    }
}

TEST_F(DecoderVariables, AutoLayoutFollowsTheControllerGeneration) {
    const struct {
        int major, minor, layout;
    } table[] = {{5, 12, 3}, {5, 9, 3},  {5, 8, 2},  {5, 0, 2},  {3, 2, 1},  {3, 3, 2},
                 {3, 10, 2}, {3, 13, 2}, {3, 14, 3}, {3, 15, 3}, {10, 1, 3}, {6, 0, 3},
                 {4, 0, 2},  {4, 9, 2},  {2, 9, 1},  {1, 8, 1},  {0, 0, 1}};
    for (const QString &setting : {QStringLiteral("0"), QString(), QStringLiteral("Auto")}) {
        for (const auto &row : table) {
            urinstance robot = robotAt(QStringLiteral("127.0.4.21"));
            if (!setting.isNull())
                robot.device.settings.insert(QStringLiteral("version"), setting);
            robot.versionMajor = row.major;
            robot.versionMinor = row.minor;
            EXPECT_EQ(urdecode::variableLayout(robot), row.layout)
                << row.major << "." << row.minor << " setting " << setting.toStdString();
        }
    }
}

TEST_F(DecoderVariables, AutoLayoutDecodesByTheVersionMessage) {
    for (const auto &row : {std::make_pair(5, 12), std::make_pair(5, 8), std::make_pair(3, 2)}) {
        urinstance robot = robotAt(QStringLiteral("127.0.4.22"));
        robot.device.settings.insert(QStringLiteral("version"), QStringLiteral("0"));
        const int layout = row.first == 5 ? (row.second >= 9 ? 3 : 2) : 1;
        feed(&robot, urenc::versionMessage("URControl", uint8_t(row.first), uint8_t(row.second)) +
                         urenc::variableArrayMessage(0, {"v"}));
        const QByteArray values = urenc::variablesValueMessage(0, {var::integer(layout, 77)});
        feed(&robot, values + values);
        EXPECT_EQ(robot.variableValues.value(QStringLiteral("v")), QStringLiteral("77"))
            << row.first << "." << row.second;
    }
}

// Value series.

TEST_F(DecoderVariables, FirstSeriesIsOnlyCountedLaterSeriesAreStored) {
    urinstance robot = robotWithNames(QStringLiteral("127.0.4.30"), {"a", "b"});
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 1)}));
    feed(&robot, urenc::variablesValueMessage(1, {var::string(3, "one")}));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    EXPECT_EQ(robot.variableCountTotal, 2);
    EXPECT_EQ(robot.variableCounts, (QMap<int, int>{{0, 1}, {1, 1}}));

    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 2)}));
    EXPECT_EQ(robot.variableValues,
              (QMap<QString, QString>{{QStringLiteral("a"), QStringLiteral("2")}}));
    feed(&robot, urenc::variablesValueMessage(1, {var::string(3, "two")}));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("b")), QStringLiteral("two"));
}

TEST_F(DecoderVariables, SeveralValuesInOneBody) {
    urinstance robot = robotWithNames(QStringLiteral("127.0.4.31"), {"a", "b", "c"});
    const QByteArray body = urenc::variablesValueMessage(
        0, {var::integer(3, 5), var::list(3, {var::real(3, 0.5f)}), var::string(3, "s")});
    feed(&robot, body);
    feed(&robot, body);
    EXPECT_EQ(robot.variableValues,
              (QMap<QString, QString>{{QStringLiteral("a"), QStringLiteral("5")},
                                      {QStringLiteral("b"), QStringLiteral("[0.5]")},
                                      {QStringLiteral("c"), QStringLiteral("s")}}));
}

TEST_F(DecoderVariables, CountMismatchRestartsCounting) {
    urinstance robot = robotWithNames(QStringLiteral("127.0.4.32"), {"a", "b"});
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 1), var::integer(3, 2)}));
    feed(&robot, urenc::variablesValueMessage(2, {var::integer(3, 3)}));
    EXPECT_EQ(robot.variableCountTotal, 3);

    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 4), var::integer(3, 5)}));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    EXPECT_TRUE(robot.variableCounts.isEmpty());
    EXPECT_EQ(robot.variableCountTotal, 0);

    // Counting starts over, and a matching series is stored from its second round on.
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 6), var::integer(3, 7)}));
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 8), var::integer(3, 9)}));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("a")), QStringLiteral("8"));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("b")), QStringLiteral("9"));
}

TEST_F(DecoderVariables, BodyWithOnlyAStartIndexClearsValuesWhenTotalIsOne) {
    urinstance robot = robotWithNames(QStringLiteral("127.0.4.33"), {"a"});
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 1)}));
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 2)}));
    robot.variableValues.insert(QStringLiteral("Status"), QStringLiteral("title text"));
    ASSERT_EQ(robot.variableValues.value(QStringLiteral("a")), QStringLiteral("2"));

    feed(&robot, urenc::variablesValueMessage(0, {}));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    EXPECT_EQ(robot.variableCountTotal, 1);
}

TEST_F(DecoderVariables, IndexWithoutANameIsEnteredEmptyAndNotStored) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.37"));
    robot.device.settings.insert(QStringLiteral("version"), QStringLiteral("3"));
    feed(&robot, urenc::variableArrayMessage(0, {"a"}) + urenc::variableArrayMessage(2, {"c"}));
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 1)}));
    feed(&robot, urenc::variablesValueMessage(2, {var::integer(3, 2)}));
    ASSERT_EQ(robot.variableCountTotal, 2);

    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 3), var::integer(3, 4)}));
    EXPECT_EQ(robot.variableValues,
              (QMap<QString, QString>{{QStringLiteral("a"), QStringLiteral("3")}}));
    EXPECT_EQ(robot.variableNames.value(1, QStringLiteral("<none>")), QString());
    EXPECT_EQ(robot.variableNames.size(), 3);

    // Three names now, two counted: the next body of the series restarts the counting.
    feed(&robot, urenc::variablesValueMessage(2, {var::integer(3, 5)}));
    EXPECT_FALSE(robot.variableValues.contains(QStringLiteral("c")));
    EXPECT_EQ(robot.variableCountTotal, 0);
}

TEST_F(DecoderVariables, ValuesBeforeNamesAreIgnored) {
    urinstance robot = robotAt(QStringLiteral("127.0.4.34"));
    const QByteArray values = urenc::variablesValueMessage(0, {var::integer(3, 1)});
    feed(&robot, values + values + values);
    EXPECT_TRUE(robot.variableCounts.isEmpty());
    EXPECT_EQ(robot.variableCountTotal, 0);
    EXPECT_TRUE(robot.variableValues.isEmpty());
}

TEST_F(DecoderVariables, NewNamesResetTheSeries) {
    urinstance robot = robotWithNames(QStringLiteral("127.0.4.35"), {"a"});
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 1)}));
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 2)}));
    feed(&robot, urenc::variableArrayMessage(0, {"a"}));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    feed(&robot, urenc::variablesValueMessage(0, {var::integer(3, 3)}));
    EXPECT_TRUE(robot.variableValues.isEmpty());
    EXPECT_EQ(robot.variableCountTotal, 1);
}

TEST_F(DecoderVariables, LongValuesKeepTheBodyInStep) {
    // A string of 65532 bytes takes 65536 bytes: more than 16 bits can say.
    urinstance robot = robotWithNames(QStringLiteral("127.0.4.36"), {"long", "after"});
    const QByteArray text(65532, 'q');
    const QByteArray values =
        urenc::variablesValueMessage(0, {var::string(3, text), var::integer(3, 12)});
    feed(&robot, values);
    feed(&robot, values);
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("long")), QString::fromLatin1(text));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("after")), QStringLiteral("12"));

    // The public per-value result reports at most the largest 16-bit size, never a wrapped one.
    QList<QString> out;
    urinstance plain = robotAt(QStringLiteral("127.0.4.36"));
    plain.device.settings.insert(QStringLiteral("version"), QStringLiteral("3"));
    EXPECT_EQ(URWrapper().processVariable(var::string(3, text), &plain, &out), 65535);
}

} // namespace
