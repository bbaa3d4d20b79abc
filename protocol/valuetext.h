// Value texts as the host shows them.
#pragma once

#include <QString>

#include <charconv>

// A real as C printf "%g" writes it: 6 significant digits, ties rounded to even, the sign of
// -0 kept, and always a decimal point whatever the process locale (QString::number rounds
// ties away from zero and drops the sign of -0).
inline QString realText(double value) {
    char text[32];
    const auto written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return QString::fromLatin1(text, int(written.ptr - text));
}
