// Shared pieces of the decoder tests: a fixture with its own data directory and a fresh
// stand-in host, capture of Qt warnings, sample records with a distinct value in every
// field, and field-by-field comparison of decoded records.
#pragma once

#include "noru_standin.h"
#include "urencoder.h"
#include "urinstance.h"
#include "urwrapper.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace dectest {

// Collects the Qt warnings written while it exists.
class WarningCapture {
public:
    WarningCapture();
    ~WarningCapture();
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    QStringList lines() const;
    void clear();
};

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override;

    static noru_standin::Host &host() { return noru_standin::Host::instance(); }
    // A record as the worker makes it, with the names file already looked for unless
    // withFileLoad is true.
    urinstance robotAt(const QString &address, bool withFileLoad = false) const;
    static void feed(urinstance *robot, const QByteArray &bytes) {
        URWrapper().wrapMessage(robot, bytes);
    }
    // Host log lines of one level ("debug", "error", ...).
    static QStringList logs(const QString &level);
    static QStringList addedUids();

    QTemporaryDir dataDir;
    WarningCapture warnings;
};

// Sample sub-records: every field distinct from every other (and from the same field of
// another seed), so that a field read from the wrong offset shows.
robotstate_mode sampleMode(int seed = 0);
QList<robotstate_joint> sampleJoints(int seed = 0);
robotstate_tool sampleTool(int seed = 0);
robotstate_masterboard sampleBoard(int seed = 0);
robotstate_force sampleForce(int seed = 0);
QByteArray sampleState(int seed = 0); // urenc::fullRobotState of the samples

::testing::AssertionResult sameMode(const robotstate_mode &a, const robotstate_mode &b);
::testing::AssertionResult sameJoints(const QList<robotstate_joint> &a,
                                      const QList<robotstate_joint> &b);
::testing::AssertionResult sameTool(const robotstate_tool &a, const robotstate_tool &b);
::testing::AssertionResult sameBoard(const robotstate_masterboard &a,
                                     const robotstate_masterboard &b);
::testing::AssertionResult sameForce(const robotstate_force &a, const robotstate_force &b);
// Everything the decoder writes into a record.
::testing::AssertionResult sameDecoded(const urinstance &a, const urinstance &b);

// A real controller capture, read at test time.
QByteArray readVector(const char *fileName);

// Bit-exact comparison, so NaN payloads and signed zeros count.
bool sameBits(double a, double b);
bool sameBits(float a, float b);

} // namespace dectest
