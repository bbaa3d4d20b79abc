// A silent host library for fuzzing, in place of the stand-in: the stand-in records every
// call and lingers in each to catch overlapping calls, which costs far more than the
// decoding under test. This one only remembers which items were offered.
#pragma once

#include <QString>
#include <QStringList>

namespace fuzz_host {

// uids passed to addPluginItem since the last clear, in order.
QStringList &offeredItems();

} // namespace fuzz_host
