// Shared pieces of the decoder tests: a fixture with its own data directory, a fresh stand-in
// host and the Qt warnings written meanwhile, and records with a distinct value in every field.
#pragma once

#include "decoded_difference.h"
#include "noru_standin.h"
#include "robotitems.h"
#include "urencoder.h"
#include "urwrapper.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

using decoded::difference;

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dataDir.isValid());
        host().reset();
        host().clearRecords();
        host().setDataDirectory(dataDir.path());
        warnings().clear();
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtWarningMsg)
                warnings().append(text);
        });
    }
    void TearDown() override { qInstallMessageHandler(nullptr); }

    static noru_standin::Host &host() { return noru_standin::Host::instance(); }
    static QStringList &warnings() { // the Qt warnings since SetUp; other messages are dropped
        static QStringList lines;
        return lines;
    }
    // A record as the worker makes it; withFileLoad: its names file is yet to be looked for.
    static urinstance robotAt(const QString &address, bool withFileLoad = false) {
        urinstance robot;
        robot.device.address = address;
        robot.variablesFileLoaded = !withFileLoad;
        return robot;
    }
    static void feed(urinstance *robot, const QByteArray &bytes) {
        URWrapper().wrapMessage(robot, bytes);
    }
    static urinstance decode(const QByteArray &bytes) {
        urinstance robot = robotAt("127.0.0.9");
        feed(&robot, bytes);
        return robot;
    }

    QTemporaryDir dataDir;
};

// A record whose mode, joints, tool, master board and force bytes differ from their neighbours'
// and from another seed's, so that a field read from a wrong offset shows.
inline urinstance sample(int seed) {
    unsigned char next = static_cast<unsigned char>(101 * seed);
    const auto fill = [&next](auto &...blocks) {
        (std::generate_n(reinterpret_cast<unsigned char *>(&blocks), sizeof blocks,
                         [&next] { return next += 7; }),
         ...);
    };
    urinstance r;
    fill(r.modeData, r.toolData, r.masterboardData, r.forceData);
    for (int j = 0; j < 6; ++j) {
        r.joints.append(robotstate_joint{});
        fill(r.joints.last());
    }
    // What the decoder derives: the fields that arrive in the sub-packages the encoder makes.
    r.modeData.packageBytes = 47;
    r.modeData.arrived.bits = 0x3fff & ~(1u << unsigned(ModeField::robotModeCb2));
    for (robotstate_joint &joint : r.joints)
        joint.arrived.bits = 0xff;
    r.toolData.arrived.bits = 0x1ff;
    r.masterboardData.arrived.bits = 0xfff;
    r.forceData.arrived.bits = 0x7f;
    return r;
}

// The text the read cycle gives a robot-state item of the record (ages aside), or "<none>".
inline QString itemText(const urinstance &robot, const QString &key) {
    const RobotValueItem *item = robotValueItem(key + "_1", "_1");
    QString text = "<none>";
    if (!item || !item->read(robot, &text))
        return "<none>";
    return text;
}

// The robot state message that carries them.
inline QByteArray sampleState(int seed) {
    const urinstance r = sample(seed);
    return urenc::fullRobotState(r.modeData, r.joints, r.toolData, r.masterboardData, r.forceData);
}

// The bytes with their 4-byte big-endian length field set to length.
inline QByteArray withLength(QByteArray bytes, uint32_t length) {
    qToBigEndian(length, bytes.data());
    return bytes;
}
