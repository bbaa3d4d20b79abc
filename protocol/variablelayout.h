// Which value layout a controller of a given version sends its program variables in:
// 1 up to 3.2, 2 for 3.3 to 3.13 and 5.0 to 5.8, 3 for 3.14 and later and 5.9 and later.
#pragma once

inline int variableLayoutForVersion(int major, int minor) {
    // CB3 took the new value codes with 3.14 and the e-Series with 5.9; there is no major 4.
    if (major > 5)
        return 3;
    if (major == 5)
        return minor >= 9 ? 3 : 2;
    if (major == 4)
        return 2;
    if (major == 3)
        return minor >= 14 ? 3 : (minor >= 3 ? 2 : 1);
    return 1;
}
