#include "publication.h"

#include <QMutexLocker>

namespace {

const int readerLockMs = 200;
// The worker never waits long for readers: a busy lock only postpones the publication.
const int workerLockMs = 2;

} // namespace

void Publication::copyRecord(urinstance *to, const urinstance &from) {
    // The decoder writes the six joints of its record in place. Sharing them here would make
    // its next write copy the list; the published record keeps a list of its own instead,
    // overwritten element by element.
    QList<robotstate_joint> joints;
    joints.swap(to->joints);
    *to = from;
    if (joints.size() == from.joints.size()) {
        for (int j = 0; j < joints.size(); ++j)
            joints[j] = from.joints.at(j);
    } else {
        joints = from.joints;
        joints.detach();
    }
    to->joints.swap(joints);
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
