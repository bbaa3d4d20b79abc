// Included ahead of every instrumented file of a ThreadSanitizer build.
//
// Implicit sharing: Qt's containers and strings are shared until written, and an owner that finds
// itself the only one (QtPrivate::RefCount::isShared) writes to the data in place. That check
// reads the count with a relaxed load, inline in our code, so the sanitizer sees no order between
// another owner's last use and its decrement (an ordered atomic operation) on one side, and the
// write on the other. In this build the relaxed loads of Qt's integer atomics (the reference
// counts; the project uses none of its own) acquire.
#pragma once

#include <QtCore/qatomic.h>

template <> template <>
inline int QAtomicOps<int>::loadRelaxed<int>(const std::atomic<int> &value) noexcept {
    return value.load(std::memory_order_acquire);
}
