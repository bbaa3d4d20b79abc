// Guards the lifetime of UR::worker: readers of the worker (the read cycle) hold it for
// reading while they call into the worker, start and stop hold it for writing while they
// create or delete it.
#pragma once

#include <QReadWriteLock>

extern QReadWriteLock workerLifetimeLock;
