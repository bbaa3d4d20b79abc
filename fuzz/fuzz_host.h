// A silent host library for fuzzing, in place of the stand-in, which records every call and
// lingers in each to catch overlapping calls, at far more cost than the decoding under test.
#pragma once

#include <QSet>
#include <QString>

namespace fuzz_host {
// Uids passed to addPluginItem since the last reset, and whether one came again.
struct Offered {
    QSet<QString> uids;
    bool twice = false;
};
Offered &offered();
} // namespace fuzz_host
