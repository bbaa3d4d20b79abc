// Small big-endian readers and capture loading for the encoder and simulator tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>

#include <cstdint>
#include <cstring>

namespace wire {

inline uint8_t u8(const QByteArray &b, int at) {
    return static_cast<uint8_t>(b.at(at));
}

inline uint32_t u32(const QByteArray &b, int at) {
    return (uint32_t(u8(b, at)) << 24) | (uint32_t(u8(b, at + 1)) << 16) |
           (uint32_t(u8(b, at + 2)) << 8) | uint32_t(u8(b, at + 3));
}

inline uint16_t u16(const QByteArray &b, int at) {
    return static_cast<uint16_t>((u8(b, at) << 8) | u8(b, at + 1));
}

inline double f64(const QByteArray &b, int at) {
    const uint64_t bits = (uint64_t(u32(b, at)) << 32) | u32(b, at + 4);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline float f32(const QByteArray &b, int at) {
    const uint32_t bits = u32(b, at);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline QByteArray capture(const char *name) {
    QFile f(QStringLiteral(UR_VECTORS_DIR "/") + QString::fromLatin1(name));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// The sub-packages of a robot state message, each with its own length field.
inline QList<QByteArray> subPackages(const QByteArray &message) {
    QList<QByteArray> out;
    const int end = static_cast<int>(u32(message, 0));
    int at = 5;
    while (at + 5 <= end && end <= message.size()) {
        const int len = static_cast<int>(u32(message, at));
        if (len < 5 || at + len > end)
            break;
        out.append(message.mid(at, len));
        at += len;
    }
    return out;
}

// The first sub-package of the given type, or an empty array.
inline QByteArray subPackage(const QByteArray &message, uint8_t type) {
    for (const QByteArray &p : subPackages(message))
        if (u8(p, 4) == type)
            return p;
    return QByteArray();
}

} // namespace wire
