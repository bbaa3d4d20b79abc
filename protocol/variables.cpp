// Program variables: their names (variable array messages, kept in one file per robot so
// they survive a restart) and their values (variables value messages).
#include "urwrapper.h"

#include "hostgateway.h"
#include "urdecoder.h"
#include "valuetext.h"
#include "variablelayout.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <climits>

namespace {

enum class Kind { nothing, string, list, pose, byte, unsupported, integer, real, unknown };

Kind kindOf(uint8_t code, int layout) {
    if (code == 0)
        return Kind::nothing;
    switch (layout) {
    case 1:
        switch (code) {
        case 3:
            return Kind::string;
        case 4:
            return Kind::list;
        case 9:
            return Kind::pose;
        case 11:
            return Kind::byte;
        case 12:
            return Kind::unsupported;
        case 13:
            return Kind::integer;
        case 14:
            return Kind::real;
        default:
            return Kind::unknown;
        }
    case 2:
        switch (code) {
        case 3:
        case 4:
            return Kind::string;
        case 5:
            return Kind::list;
        case 10:
            return Kind::pose;
        case 12:
            return Kind::byte;
        case 14:
            return Kind::integer;
        case 15:
            return Kind::real;
        default:
            return Kind::unknown;
        }
    default:
        switch (code) {
        case 3:
        case 4:
            return Kind::string;
        case 17:
            return Kind::list;
        case 12:
            return Kind::pose;
        case 13:
            return Kind::byte;
        case 15:
            return Kind::integer;
        case 16:
            return Kind::real;
        default:
            return Kind::unknown;
        }
    }
}

// Start index of a variable array or value body.
int startIndex(ByteView body) {
    return body.be16(0);
}

} // namespace

namespace urdecode {

void globalMessage(ByteView message, urinstance *robot) {
    switch (message.u8(13)) {
    case 0:
        variableArray(message.sub(14), robot);
        break;
    case 1:
        variablesValue(message.sub(14), robot);
        break;
    default:
        break;
    }
}

QString variablesFileName(const QString &address) {
    if (address.isEmpty() || address == QLatin1String(".") || address == QLatin1String(".."))
        return QStringLiteral("_");
    QString name = address;
    for (QChar &c : name) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f || c == QLatin1Char('/') || c == QLatin1Char('\\'))
            c = QLatin1Char('_');
    }
    return name;
}

QString variablesFilePath(const urinstance &robot) {
    // Without a data directory there is no file: never fall back to the root or the
    // host's working directory.
    if (HostGateway::dataDirectory().isEmpty())
        return QString();
    return HostGateway::dataDirectory() + QLatin1Char('/') +
           variablesFileName(robot.device.address);
}

namespace {

void logNamesLimit(urinstance *robot) {
    if (robot->namesLimitLogged)
        return;
    robot->namesLimitLogged = true;
    HostGateway::logError(
        QStringLiteral("Robot ") + robot->device.address + QStringLiteral(" sent more than ") +
        QString::number(URWrapper::maxVariableNames) +
        QStringLiteral(" program variable names: new names are not turned into items; the "
                       "known ones keep their values"));
}

// Whether the record keeps a name: one robot turns a bounded number of distinct names into
// items, so a program (or a peer) that announces new names without end adds no host items
// without end.
bool keepsName(urinstance *robot, const QString &name) {
    if (robot->knownNames.contains(name))
        return true;
    if (robot->knownNames.size() < URWrapper::maxVariableNames) {
        robot->knownNames.insert(name);
        return true;
    }
    logNamesLimit(robot);
    return false;
}

// The whole file goes under a temporary name and replaces the old one only once every byte was
// written: a full disk or a crash leaves the old file, never a part of one.
void writeNamesFile(urinstance *robot) {
    const QString path = variablesFilePath(*robot);
    QByteArray bytes;
    for (auto name = robot->variableNames.cbegin(); name != robot->variableNames.cend(); ++name)
        bytes += QByteArray::number(name.key()) + ',' + name.value().toUtf8() + '\n';

    QString reason = QStringLiteral("The host gives no files directory");
    if (!path.isEmpty()) {
        QSaveFile file(path);
        // Unbuffered: a write that fails is seen here, with its reason. A buffered write that
        // fails only in commit's final flush would still be committed, cut short.
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            qint64 done = 0, n = 0;
            while (done < bytes.size() &&
                   (n = file.write(bytes.constData() + done, bytes.size() - done)) > 0)
                done += n;
            if (done == bytes.size() && file.commit()) {
                robot->namesFileCurrent = true;
                robot->namesFileFailureLogged = false;
                return;
            }
        }
        reason = file.errorString();
    }
    robot->namesFileCurrent = false;
    if (!robot->namesFileFailureLogged) {
        robot->namesFileFailureLogged = true;
        HostGateway::logError(QStringLiteral("Could not write file for UR variables. (WRITE) ") +
                              reason + QStringLiteral(" File: ") + path);
    }
}

} // namespace

void variableArray(ByteView body, urinstance *robot) {
    const int start = startIndex(body);
    QStringList names = body.text(2).split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    names.removeLast(); // the text after the last LF is not a name

    HostGateway::logDebug(
        QStringLiteral("Variable array receieved from robot. Writing to text file: ") +
        variablesFileName(robot->device.address) + QStringLiteral(". Robot: ") +
        robot->device.address);

    // The names are the record's at once, whatever becomes of the file: it only keeps them
    // for the next start. The file is written when the set ends (endNamesSet).
    if (!robot->namesSetOpen) {
        robot->namesSetOpen = true;
        robot->namesBeforeSet = robot->variableNames;
    }
    if (start == 0)
        robot->variableNames.clear();
    QStringList kept;
    for (int i = 0; i < names.size(); ++i) {
        // Names are kept below an index bound: the entries are bounded, not only the distinct
        // names, or a set that repeats a name without end would keep an entry (and a line of
        // the file) for every repetition.
        if (start + i >= URWrapper::maxVariableNames) {
            logNamesLimit(robot);
            break;
        }
        // A name beyond the bound keeps its index, so the values of the others stay in step.
        const bool keep = keepsName(robot, names.at(i));
        robot->variableNames.insert(start + i, keep ? names.at(i) : QString());
        if (keep)
            kept.append(names.at(i));
    }
    for (const QString &name : qAsConst(kept))
        URWrapper().addItemToRobot(robot, name);
    robot->variableCountTotal = 0;
    robot->variableCounts.clear();
    robot->variableValues.clear();
    ++robot->variableValuesEdition;
}

void endNamesSet(urinstance *robot) {
    robot->namesSetOpen = false;
    const bool unchanged = robot->namesFileCurrent && robot->variableNames == robot->namesBeforeSet;
    robot->namesBeforeSet.clear();
    // A controller sends its names again on every connection: a file that holds them already
    // is not written again, so that reconnections cost no disk writes.
    if (!unchanged)
        writeNamesFile(robot);
}

int variableLayout(const urinstance &robot) {
    bool ok = false;
    int setting = robot.device.settings.value(QStringLiteral("version")).toInt(&ok, 10);
    if (!ok)
        setting = 0;
    if (setting == 1 || setting == 2)
        return setting;
    if (setting != 0)
        return 3;

    // Auto: by controller generation.
    return variableLayoutForVersion(robot.versionMajor, robot.versionMinor);
}

uint32_t variable(ByteView data, int layout, int depth, QString *text, bool *unsupported) {
    uint64_t size = 2; // code and trailing byte
    switch (kindOf(data.u8(0), layout)) {
    case Kind::string: {
        const uint16_t length = data.be16(1);
        *text = data.text(3, length);
        size += length + 2u;
        break;
    }
    case Kind::list: {
        if (depth >= maxListDepth)
            break; // like an unknown code: empty, only the code taken
        const uint16_t count = data.be16(1);
        size += 2;
        QString list = QStringLiteral("[");
        uint64_t offset = 0;
        for (uint32_t j = 0; j < count; ++j) {
            const uint64_t at = 3 + offset;
            if (at >= data.size) {
                // The value runs past the end of its message: what is left would only
                // be zero bytes, one per element. Count them, but do not list them, so a
                // few hostile bytes cannot produce megabytes of commas.
                offset += count - j;
                break;
            }
            if (j > 0)
                list += QLatin1Char(',');
            QString element;
            offset += variable(data.sub(size_t(at)), layout, depth + 1, &element, unsupported) - 1u;
            list += element;
        }
        list += QLatin1Char(']');
        *text = list;
        size += offset;
        break;
    }
    case Kind::pose:
        *text = poseText(data.sub(1));
        size += 24;
        break;
    case Kind::byte:
        *text = QString::number(data.u8(1));
        size += 1;
        break;
    case Kind::unsupported:
        if (unsupported)
            *unsupported = true;
        break;
    case Kind::integer:
        *text = QString::number(static_cast<int32_t>(data.be32(1)));
        size += 4;
        break;
    case Kind::real:
        *text = realText(double(data.f32(1)));
        size += 4;
        break;
    case Kind::nothing:
    case Kind::unknown:
        break;
    }
    return uint32_t(std::min<uint64_t>(size, UINT32_MAX));
}

void variablesValue(ByteView body, urinstance *robot) {
    const int start = startIndex(body);
    // No name is kept from the index bound on (variableArray): values there are neither
    // decoded nor counted.
    if (robot->variableNames.isEmpty() || start >= URWrapper::maxVariableNames)
        return;
    const int layout = variableLayout(*robot);

    // At least one value, even from a body that holds only the start index. Every value
    // takes at least 2 bytes, so this ends.
    QList<QString> values;
    size_t offset = 2;
    bool unsupported = false;
    do {
        QString text;
        offset += variable(body.sub(offset), layout, 0, &text, &unsupported);
        values.append(text);
    } while (offset < body.size && start + values.size() < URWrapper::maxVariableNames);
    // Once per message, however many such values it holds: a peer cannot flood the host's log.
    if (unsupported)
        HostGateway::logError(
            QStringLiteral("Numeric value not supported! This will result in an error!"));

    if (robot->variableCounts.contains(start)) {
        // A new series has begun: the one before was counted in full.
        if (robot->variableCountTotal == 1 && values.first().isEmpty()) {
            robot->variableValues.clear();
            ++robot->variableValuesEdition;
            return;
        }
        if (robot->variableCountTotal != robot->variableNames.size()) {
            robot->variableCounts.clear();
            robot->variableCountTotal = 0;
            return;
        }
        // Values beyond the names have no name to go to: they are passed over, never given
        // a name of their own.
        for (int i = 0; i < values.size(); ++i) {
            const QString name = robot->variableNames.value(start + i);
            if (!name.isEmpty())
                robot->variableValues.insert(name, values.at(i));
        }
        ++robot->variableValuesEdition;
        return;
    }
    robot->variableCounts.insert(start, values.size());
    robot->variableCountTotal =
        int(std::min<qint64>(qint64(robot->variableCountTotal) + values.size(), INT_MAX));
}

} // namespace urdecode

void URWrapper::getLastUsedRobotVariables(urinstance *robot) {
    const QString &address = robot->device.address;
    HostGateway::logDebug(QStringLiteral("Loading variable array from text file. Robot: ") +
                          address);
    robot->variablesFileLoaded = true;

    const QString path = urdecode::variablesFilePath(*robot);
    QFile file(path);
    if (!file.exists()) {
        HostGateway::logDebug(QStringLiteral("Variable array file does not exists. Robot: ") +
                              address);
        return;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        HostGateway::logError(
            QStringLiteral("Could not open last used UR robot variables. (READ) ") +
            file.errorString() + QStringLiteral(" File: ") + path);
        return;
    }
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        line.remove(QLatin1Char('\n'));
        const QStringList fields = line.split(QLatin1Char(','));
        // As bounded as the names of a set: a file of an older version may hold more.
        const int index = fields.at(0).toInt(nullptr, 10);
        if (fields.size() != 2 || index < 0 || index >= URWrapper::maxVariableNames)
            continue;
        robot->variableNames.insert(index, fields.at(1));
    }
    robot->namesFileCurrent = true;
}

void URWrapper::addItemToRobot(urinstance *robot, QString name) {
    // Offer each name once per record: the host would get the same uid again otherwise.
    if (robot->offeredItems.contains(name))
        return;
    HostGateway::claimItemName(name, robot->device);
    for (const ItemInstancePlugin &existing : qAsConst(robot->device.items)) {
        if (existing.uid == name)
            return;
    }
    HostGateway::logDebug(QStringLiteral("Add item (") + name + QStringLiteral(") to robot ") +
                          robot->device.address);

    ItemInstancePlugin item;
    item.uid = name;
    item.name = name + QStringLiteral(" (User variable)");
    item.hostFlag1 = false;
    item.hostFlag3 = false;
    item.deviceId = robot->device.id;
    item.hostInt4 = 1;
    HostGateway::addItem(item);
    robot->offeredItems.insert(name);
}
