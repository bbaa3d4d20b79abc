// A silent host library for fuzzing, in place of the stand-in, which records every call and
// lingers in each to catch overlapping calls, at far more cost than the decoding under test.
#pragma once

#include <QStringList>

namespace fuzz_host {
QStringList &offeredItems(); // uids passed to addPluginItem since the last clear, in order
} // namespace fuzz_host
