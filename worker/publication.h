// The worker's published copy of the robot records: what the read cycle sees. The worker
// marks records that changed and copies only those, into records of the copy that it keeps
// from one publication to the next; readers take a value copy of one record.
#pragma once

#include "urinstance.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <atomic>
#include <cstdint>
#include <vector>

class Publication {
public:
    // The first publication, all records at once; waits for the lock.
    void publishAll(QList<urinstance> &robots);
    // Record index changed since the last publication.
    void markChanged(int index);
    bool hasChanges() const { return !changed.empty(); }
    // Copies the records marked changed (the worker's own, lent for the copy). False when
    // the lock was busy: they stay marked and go with the next publication, whatever changes
    // meanwhile.
    bool publishChanged(QList<urinstance> &robots);

    // A copy of the first published record with this address, if any. Gives up after
    // 200 ms on a busy lock, as if there were none.
    urinstance find(const QString &address, bool *found);
    bool hasPublished() const { return published.load(); }

protected:
    QMutex publishMutex;

private:
    static void copyRecord(urinstance *to, urinstance &from);

    QList<urinstance> publishedRobots;
    QHash<QString, int> byAddress; // the first record of each address
    std::atomic<bool> published{false};
    std::vector<int> changed;    // worker thread only
    std::vector<uint8_t> marked; // worker thread only; index is in changed
};
