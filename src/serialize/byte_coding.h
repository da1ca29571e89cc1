#pragma once
// Little-endian numbers, variable-length integers and packed bit fields of the serialized form.
// Writers append to a byte list. Readers check every length against what is left and keep the
// first failure, so a step can read on and report once at its end.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vmq {

static_assert(std::endian::native == std::endian::little, "the serialized form is read and written on little-endian hosts");

inline uint32_t loadU32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t loadU64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The bits a value needs: 0 for 0, else the position of its highest set bit plus one.
inline uint32_t bitWidth32(uint32_t value)
{
    return uint32_t(std::bit_width(value));
}

struct ByteWriter {
    std::vector<uint8_t>& bytes;

    void u8(uint8_t v) { bytes.push_back(v); }
    void raw(const void* data, size_t size)
    {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void u16(uint16_t v) { raw(&v, 2); }
    void u32(uint32_t v) { raw(&v, 4); }
    void u64(uint64_t v) { raw(&v, 8); }
    void f32(float v) { raw(&v, 4); } // the bit pattern: NaNs and signed zeros survive
    void words(const uint32_t* begin, size_t count) { raw(begin, count * 4); }
    // Seven bits a byte, low first; the top bit of a byte says another follows.
    void varint(uint64_t v)
    {
        while (v >= 0x80) {
            bytes.push_back(uint8_t(v) | 0x80);
            v >>= 7;
        }
        bytes.push_back(uint8_t(v));
    }
};

// Fields of 0 to 32 bits, least significant bit first; finish() pads the last byte with zeros.
struct BitWriter {
    std::vector<uint8_t>& bytes;
    uint64_t pending = 0;
    uint32_t pendingBits = 0;

    void put(uint32_t value, uint32_t width)
    {
        pending |= uint64_t(value) << pendingBits; // callers keep value below 2^width
        pendingBits += width;
        while (pendingBits >= 8) {
            bytes.push_back(uint8_t(pending));
            pending >>= 8;
            pendingBits -= 8;
        }
    }
    void finish()
    {
        if (pendingBits)
            bytes.push_back(uint8_t(pending));
        pending = 0;
        pendingBits = 0;
    }
};

struct ByteReader {
    const uint8_t* at = nullptr;
    const uint8_t* end = nullptr;
    const char* failure = nullptr; // what was being read when the bytes ran out or were malformed

    size_t left() const { return size_t(end - at); }
    bool failed() const { return failure != nullptr; }
    bool fail(const char* what)
    {
        if (!failure)
            failure = what;
        at = end;
        return false;
    }
    // The next `size` bytes, or null (and a failure) when fewer are left.
    const uint8_t* take(size_t size, const char* what)
    {
        if (failure || size > left()) {
            fail(what);
            return nullptr;
        }
        const uint8_t* p = at;
        at += size;
        return p;
    }
    uint8_t u8(const char* what)
    {
        const uint8_t* p = take(1, what);
        return p ? *p : 0;
    }
    uint32_t u32(const char* what)
    {
        const uint8_t* p = take(4, what);
        return p ? loadU32(p) : 0;
    }
    float f32(const char* what)
    {
        const uint32_t bits = u32(what);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    uint64_t varint(const char* what)
    {
        uint64_t v = 0;
        for (uint32_t shift = 0; shift < 64; shift += 7) {
            const uint8_t* p = take(1, what);
            if (!p)
                return 0;
            v |= uint64_t(*p & 0x7F) << shift;
            if (!(*p & 0x80))
                return (shift == 63 && *p > 1) ? (fail(what), 0) : v;
        }
        fail(what);
        return 0;
    }
    // A varint that must fit 32 bits.
    uint32_t varint32(const char* what)
    {
        const uint64_t v = varint(what);
        if (v > 0xFFFFFFFFu)
            fail(what);
        return uint32_t(v);
    }
};

// Reads what a BitWriter wrote. get() never reads outside its bytes (past the end it yields
// zeros), so callers check with bitsLeft() once before a run of fields instead of per field.
struct BitReader {
    const uint8_t* at;
    const uint8_t* end;
    uint64_t buffer = 0;
    uint32_t count = 0; // bits held in buffer

    explicit BitReader(const ByteReader& bytes) : at(bytes.at), end(bytes.end) {}

    uint64_t bitsLeft() const { return uint64_t(end - at) * 8 + count; }

    uint32_t get(uint32_t width)
    {
        if (count < width)
            refill();
        const uint32_t value = uint32_t(buffer & ((uint64_t(1) << width) - 1));
        buffer >>= width;
        count = count >= width ? count - width : 0;
        return value;
    }

    // Where the bytes after the last field read begin (the rest of a started byte is padding).
    const uint8_t* alignedEnd() const { return at - count / 8; }

private:
    void refill()
    {
        if (end - at >= 8) {
            buffer |= loadU64(at) << count;
            at += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56 && at < end) {
            buffer |= uint64_t(*at++) << count;
            count += 8;
        }
    }
};

} // namespace vmq
