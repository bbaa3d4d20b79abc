// Bounds-safe big-endian reads over borrowed bytes. A byte past the end reads as 0, so a
// field cut short by the end of a message decodes as if the missing bytes were zero; the
// decoder never reads outside what it was given. A view copies nothing, which keeps the
// per-message path free of QByteArray::mid copies.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>

struct ByteView {
    const unsigned char *data = nullptr;
    size_t size = 0;

    ByteView() = default;
    ByteView(const char *bytes, size_t count)
        : data(reinterpret_cast<const unsigned char *>(bytes)), size(count) {}
    explicit ByteView(const QByteArray &bytes)
        : ByteView(bytes.constData(), static_cast<size_t>(bytes.size())) {}

    // Bytes from offset on, at most count of them; empty when offset lies past the end.
    ByteView sub(size_t offset, size_t count = SIZE_MAX) const {
        if (offset >= size)
            return {};
        const size_t rest = size - offset;
        return ByteView(reinterpret_cast<const char *>(data) + offset, count < rest ? count : rest);
    }

    uint8_t u8(size_t offset) const { return offset < size ? data[offset] : 0; }

    // Copies count bytes at offset into out, zero-filling what lies past the end.
    void copy(size_t offset, void *out, size_t count) const {
        unsigned char *dst = static_cast<unsigned char *>(out);
        if (offset < size && size - offset >= count) {
            std::memcpy(dst, data + offset, count);
            return;
        }
        for (size_t i = 0; i < count; ++i)
            dst[i] = u8(offset + i);
    }

    // Most significant byte first; compilers turn these into one load and a byte swap.
    uint16_t be16(size_t offset) const {
        unsigned char b[2];
        copy(offset, b, sizeof b);
        return static_cast<uint16_t>(b[0] << 8 | b[1]);
    }

    uint32_t be32(size_t offset) const {
        unsigned char b[4];
        copy(offset, b, sizeof b);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }

    uint64_t be64(size_t offset) const {
        unsigned char b[8];
        copy(offset, b, sizeof b);
        uint64_t value = 0;
        for (unsigned char byte : b)
            value = value << 8 | byte;
        return value;
    }

    // IEEE 754 bit patterns, reinterpreted, never converted numerically: NaN and
    // infinities come through unchanged.
    double f64(size_t offset) const {
        const uint64_t bits = be64(offset);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    float f32(size_t offset) const {
        const uint32_t bits = be32(offset);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // UTF-8 text of the bytes at offset, at most count of them, ending early at a zero byte.
    QString text(size_t offset, size_t count = SIZE_MAX) const {
        const ByteView field = sub(offset, count);
        const void *zero = field.size ? std::memchr(field.data, 0, field.size) : nullptr;
        const size_t length =
            zero ? static_cast<size_t>(static_cast<const unsigned char *>(zero) - field.data)
                 : field.size;
        return QString::fromUtf8(reinterpret_cast<const char *>(field.data),
                                 static_cast<int>(length));
    }
};
