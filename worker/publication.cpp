#include "publication.h"

#include <QMutexLocker>

namespace {

const int readerLockMs = 200;
// The worker never waits long for readers: a busy lock only postpones the publication.
const int workerLockMs = 2;

} // namespace

namespace {

// Overwrites *to with from in the storage *to already has when they hold as many elements
// (and, for maps, the same keys); otherwise makes *to a copy of its own.
template <typename T> void overwrite(QList<T> *to, const QList<T> &from) {
    if (to->size() == from.size()) {
        for (int i = 0; i < to->size(); ++i)
            (*to)[i] = from.at(i);
        return;
    }
    *to = from;
    to->detach();
}

template <typename K, typename V> void overwrite(QMap<K, V> *to, const QMap<K, V> &from) {
    if (to->size() == from.size()) {
        auto out = to->begin();
        auto in = from.cbegin();
        for (; in != from.cend() && out.key() == in.key(); ++in, ++out)
            out.value() = in.value();
        if (in == from.cend())
            return;
    }
    *to = from;
    to->detach();
}

// The parts of a record that a publication does not take by assignment: the device, which
// never changes after the set-up, and the containers that the decoder changes in place (the
// published record keeps storage of its own for them, so that the decoder's next change need
// not copy a container shared with it). Moving them aside and back costs no allocation and
// touches no reference count that readers touch too.
struct SetAside {
    DeviceInstancePlugin device;
    QList<robotstate_joint> joints;
    QMap<QString, QString> variableValues;

    explicit SetAside(urinstance *record) : record(record) {
        device = std::move(record->device);
        joints.swap(record->joints);
        variableValues.swap(record->variableValues);
    }
    ~SetAside() {
        record->device = std::move(device);
        record->joints.swap(joints);
        record->variableValues.swap(variableValues);
    }
    SetAside(const SetAside &) = delete;
    SetAside &operator=(const SetAside &) = delete;

private:
    urinstance *record;
};

} // namespace

void Publication::copyRecord(urinstance *to, urinstance &from) {
    const uint32_t valuesEdition = to->variableValuesEdition;
    {
        const SetAside published(to), live(&from);
        *to = from;
    }
    overwrite(&to->joints, from.joints);
    if (to->variableValuesEdition != valuesEdition)
        overwrite(&to->variableValues, from.variableValues);
    // A stream fragment means nothing to a reader, and a shared one would be copied by the
    // decoder's next append.
    to->pendingBytes = QByteArray();
}

void Publication::publishAll(QList<urinstance> &robots) {
    QMutexLocker lock(&publishMutex);
    publishedRobots.clear();
    byAddress.clear();
    for (int i = 0; i < robots.size(); ++i) {
        urinstance copy = robots.at(i);
        copy.joints.detach();
        copy.variableValues.detach();
        copy.pendingBytes = QByteArray();
        publishedRobots.append(copy);
        if (!byAddress.contains(robots.at(i).device.address))
            byAddress.insert(robots.at(i).device.address, i);
    }
    changed.clear();
    marked.assign(size_t(robots.size()), 0);
    published.store(true);
}

void Publication::markChanged(int index) {
    if (size_t(index) >= marked.size() || marked[size_t(index)])
        return;
    marked[size_t(index)] = 1;
    changed.push_back(index);
}

bool Publication::publishChanged(QList<urinstance> &robots) {
    if (changed.empty())
        return true;
    if (!publishMutex.tryLock(workerLockMs))
        return false;
    for (int index : changed) {
        copyRecord(&publishedRobots[index], robots[index]);
        marked[size_t(index)] = 0;
    }
    publishMutex.unlock();
    changed.clear();
    return true;
}

urinstance Publication::find(const QString &address, bool *found) {
    urinstance result;
    *found = false;
    if (!publishMutex.tryLock(readerLockMs))
        return result;
    const auto at = byAddress.constFind(address);
    if (at != byAddress.constEnd()) {
        result = publishedRobots.at(at.value());
        *found = true;
    }
    publishMutex.unlock();
    return result;
}
