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

} // namespace

void Publication::copyRecord(urinstance *to, const urinstance &from) {
    // The decoder changes the joints and the variable values of its record in place, and
    // would have to copy them first if they were shared with the published record: this
    // one keeps containers of its own, overwritten element by element.
    QList<robotstate_joint> joints;
    QMap<QString, QString> values;
    joints.swap(to->joints);
    values.swap(to->variableValues);
    *to = from;
    overwrite(&joints, from.joints);
    overwrite(&values, from.variableValues);
    to->joints.swap(joints);
    to->variableValues.swap(values);
    // A stream fragment means nothing to a reader, and a shared one would be copied by the
    // decoder's next append.
    to->pendingBytes = QByteArray();
}

void Publication::publishAll(const QList<urinstance> &robots) {
    QMutexLocker lock(&publishMutex);
    publishedRobots.clear();
    byAddress.clear();
    for (int i = 0; i < robots.size(); ++i) {
        publishedRobots.append(urinstance());
        copyRecord(&publishedRobots[i], robots.at(i));
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

bool Publication::publishChanged(const QList<urinstance> &robots) {
    if (changed.empty())
        return true;
    if (!publishMutex.tryLock(workerLockMs))
        return false;
    for (int index : changed) {
        copyRecord(&publishedRobots[index], robots.at(index));
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
