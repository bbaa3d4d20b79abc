// ThreadSanitizer only sees what instrumented code does, and Qt is not instrumented: a lock
// taken or released inside libQt5Core is invisible to it, so every access guarded by a Qt lock
// would look unsynchronised. This library comes before libQt5Core in every executable of a
// ThreadSanitizer build, so the project's calls of Qt's lock functions arrive here: each one
// calls Qt's own function and tells the sanitizer the acquire or release that it made.
//
// QBasicMutex takes and releases an uncontended lock inline, with an atomic operation on its
// first word that the sanitizer sees in our code; only the contended paths run in Qt. Their
// acquire and release are told on the same address, so both kinds of path pair up.
//
// Implicit sharing: the owners of shared data count themselves in its first word, and each one
// that lets go of it decrements that count, an ordered atomic operation that the sanitizer sees
// when our code does it. The last owner then writes to the data or frees it inside Qt, after
// reading the count with a relaxed load or in Qt's own code: the sanitizer sees no acquire. The
// wrappers below of Qt functions that write to or free data they own tell that acquire first.
#include <QList>
#include <QMutex>
#include <QReadWriteLock>
#include <QString>
#include <QWaitCondition>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace {

// Qt's own definition of a symbol, the one this library stands in front of.
template <typename Function> Function qt(const char *symbol) {
    void *found = dlvsym(RTLD_NEXT, symbol, "Qt_5");
    if (!found)
        found = dlsym(RTLD_NEXT, symbol);
    if (!found) {
        std::fprintf(stderr, "ur_qt_tsan: %s not found in Qt\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(found);
}

#define QT(name, type) static const auto real = qt<type>(name)

void acquired(const void *lock) { __tsan_acquire(const_cast<void *>(lock)); }
void released(const void *lock) { __tsan_release(const_cast<void *>(lock)); }

// A read-write lock has two addresses: writers release on the first, which readers and
// writers acquire; readers release on the second, which only writers acquire. Readers are
// thereby not ordered among themselves, as they are not under the lock.
const char *readSide(const QReadWriteLock *lock) { return reinterpret_cast<const char *>(lock) + 1; }

// The read locks this thread holds: QReadWriteLock::unlock() does not say which kind it ends.
thread_local std::vector<const QReadWriteLock *> readHeld;

void lockedForRead(const QReadWriteLock *lock) {
    acquired(lock);
    readHeld.push_back(lock);
}

void lockedForWrite(const QReadWriteLock *lock) {
    acquired(lock);
    acquired(readSide(lock));
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT {
    QT("_ZN6QMutex4lockEv", void (*)(QMutex *));
    real(this);
    acquired(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT {
    QT("_ZN6QMutex7tryLockEi", bool (*)(QMutex *, int));
    const bool locked = real(this, timeout);
    if (locked)
        acquired(this);
    return locked;
}

void QMutex::unlock() noexcept {
    QT("_ZN6QMutex6unlockEv", void (*)(QMutex *));
    released(this);
    real(this);
}

void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT {
    QT("_ZN11QBasicMutex12lockInternalEv", void (*)(QBasicMutex *));
    real(this);
    acquired(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT {
    QT("_ZN11QBasicMutex12lockInternalEi", bool (*)(QBasicMutex *, int));
    const bool locked = real(this, timeout);
    if (locked)
        acquired(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept {
    QT("_ZN11QBasicMutex14unlockInternalEv", void (*)(QBasicMutex *));
    released(this);
    real(this);
}

void QReadWriteLock::lockForRead() {
    QT("_ZN14QReadWriteLock11lockForReadEv", void (*)(QReadWriteLock *));
    real(this);
    lockedForRead(this);
}

bool QReadWriteLock::tryLockForRead() {
    QT("_ZN14QReadWriteLock14tryLockForReadEv", bool (*)(QReadWriteLock *));
    const bool locked = real(this);
    if (locked)
        lockedForRead(this);
    return locked;
}

bool QReadWriteLock::tryLockForRead(int timeout) {
    QT("_ZN14QReadWriteLock14tryLockForReadEi", bool (*)(QReadWriteLock *, int));
    const bool locked = real(this, timeout);
    if (locked)
        lockedForRead(this);
    return locked;
}

void QReadWriteLock::lockForWrite() {
    QT("_ZN14QReadWriteLock12lockForWriteEv", void (*)(QReadWriteLock *));
    real(this);
    lockedForWrite(this);
}

bool QReadWriteLock::tryLockForWrite() {
    QT("_ZN14QReadWriteLock15tryLockForWriteEv", bool (*)(QReadWriteLock *));
    const bool locked = real(this);
    if (locked)
        lockedForWrite(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite(int timeout) {
    QT("_ZN14QReadWriteLock15tryLockForWriteEi", bool (*)(QReadWriteLock *, int));
    const bool locked = real(this, timeout);
    if (locked)
        lockedForWrite(this);
    return locked;
}

void QReadWriteLock::unlock() {
    QT("_ZN14QReadWriteLock6unlockEv", void (*)(QReadWriteLock *));
    bool reader = false;
    for (auto held = readHeld.rbegin(); held != readHeld.rend(); ++held) {
        if (*held == this) {
            readHeld.erase(std::next(held).base());
            reader = true;
            break;
        }
    }
    released(reader ? readSide(this) : reinterpret_cast<const char *>(this));
    real(this);
}

// A wait releases the mutex inside Qt and takes it again before it returns.
bool QWaitCondition::wait(QMutex *lockedMutex, QDeadlineTimer deadline) {
    QT("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer",
       bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer));
    released(lockedMutex);
    const bool woken = real(this, lockedMutex, deadline);
    acquired(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *lockedMutex, unsigned long time) {
    QT("_ZN14QWaitCondition4waitEP6QMutexm", bool (*)(QWaitCondition *, QMutex *, unsigned long));
    released(lockedMutex);
    const bool woken = real(this, lockedMutex, time);
    acquired(lockedMutex);
    return woken;
}

// Implicit sharing (see the top): the data this object owns is at its first word.
namespace {
void owned(const void *object) { acquired(*static_cast<void *const *>(object)); }
} // namespace

QString &QString::operator=(const QString &other) noexcept {
    QT("_ZN7QStringaSERKS_", QString &(*)(QString *, const QString &));
    owned(this);
    return real(this, other);
}

void QListData::dispose(Data *d) {
    QT("_ZN9QListData7disposeEPNS_4DataE", void (*)(Data *));
    acquired(d);
    real(d);
}

#define UR_LIST_OWNER(result, signature, symbol, type, arguments)                                  \
    result QListData::signature {                                                                  \
        QT(symbol, type);                                                                          \
        owned(this);                                                                               \
        return real arguments;                                                                     \
    }
UR_LIST_OWNER(void **, append(), "_ZN9QListData6appendEv",
              void **(*)(QListData *), (this))
UR_LIST_OWNER(void **, append(int n), "_ZN9QListData6appendEi",
              void **(*)(QListData *, int), (this, n))
UR_LIST_OWNER(void **, append(const QListData &l), "_ZN9QListData6appendERKS_",
              void **(*)(QListData *, const QListData &), (this, l))
UR_LIST_OWNER(void **, prepend(), "_ZN9QListData7prependEv",
              void **(*)(QListData *), (this))
UR_LIST_OWNER(void **, insert(int i), "_ZN9QListData6insertEi",
              void **(*)(QListData *, int), (this, i))
UR_LIST_OWNER(void, remove(int i), "_ZN9QListData6removeEi",
              void (*)(QListData *, int), (this, i))
UR_LIST_OWNER(void, remove(int i, int n), "_ZN9QListData6removeEii",
              void (*)(QListData *, int, int), (this, i, n))
UR_LIST_OWNER(void, move(int from, int to), "_ZN9QListData4moveEii",
              void (*)(QListData *, int, int), (this, from, to))
UR_LIST_OWNER(void **, erase(void **xi), "_ZN9QListData5eraseEPPv",
              void **(*)(QListData *, void **), (this, xi))
UR_LIST_OWNER(void, realloc(int alloc), "_ZN9QListData7reallocEi",
              void (*)(QListData *, int), (this, alloc))
UR_LIST_OWNER(void, realloc_grow(int growth), "_ZN9QListData12realloc_growEi",
              void (*)(QListData *, int), (this, growth))
