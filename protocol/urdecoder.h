// The decoder's working parts over borrowed bytes. URWrapper::wrapMessage calls them
// directly, so that a read is decoded in place.
#pragma once

#include "bytereader.h"
#include "urinstance.h"

#include <QString>

#include <cstdint>

namespace urdecode {

// Lists nested deeper than this decode as empty text, so a hostile message cannot drive
// the recursive list decoder into a stack overflow.
constexpr int maxListDepth = 32;

// One whole message (length field on); its type byte picks the handler.
void message(ByteView message, urinstance *robot);

void robotState(ByteView message, urinstance *robot, unsigned int *cursor);
void robotMessage(ByteView message, urinstance *robot);
void globalMessage(ByteView message, urinstance *robot);
void variableArray(ByteView body, urinstance *robot);
void variablesValue(ByteView body, urinstance *robot);
// The open set of variable names is complete: the file is written unless it holds the set.
void endNamesSet(urinstance *robot);

// Value code table (1: up to 3.2, 2: 3.3 to 5.8, 3: 5.9 and up) from the device setting
// "version", or from the controller version when the setting is 0 (Auto).
int variableLayout(const urinstance &robot);

// Decodes one value at the start of data into text; returns the bytes it takes as a
// top-level value (code, payload, trailing byte), at least 2. depth counts the enclosing
// lists. A value of the code that the layout does not support sets *unsupported.
uint32_t variable(ByteView data, int layout, int depth, QString *text, bool *unsupported = nullptr);

QString poseText(ByteView bytes);

// The robot's variables file: its address made safe as one file name in the data
// directory (no path separators, control characters, "." or ".."), so a device address
// can never point the file elsewhere.
QString variablesFileName(const QString &address);
QString variablesFilePath(const urinstance &robot);

} // namespace urdecode
