// Building and reading module frames: ':' (0x3A), a length byte counting the
// bytes after it, the command byte and the payload, numbers little-endian.
// The writer refuses payloads that do not fit; the reader never reads past the
// bytes it was given.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/protocol.hpp"

namespace vexan {

inline constexpr uint8_t kFrameStart = 0x3A;
inline constexpr std::size_t kMaxFrameLength = 255;  // value of the length byte
inline constexpr std::size_t kFrameHead = 2;         // start and length byte, ahead of the command byte
inline constexpr std::size_t kMaxFrameBytes = kMaxFrameLength + kFrameHead;

class FrameWriter {
public:
    explicit FrameWriter(uint8_t command)
    {
        bytes_[0] = kFrameStart;
        bytes_[2] = command;
        size_ = 3;
    }
    explicit FrameWriter(Command command) : FrameWriter(CodeOf(command)) {}

    FrameWriter& U8(uint8_t value)
    {
        Put(&value, 1);
        return *this;
    }
    FrameWriter& U16(uint16_t value)
    {
        const std::array<uint8_t, 2> le{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
        Put(le.data(), le.size());
        return *this;
    }
    FrameWriter& U32(uint32_t value)
    {
        const std::array<uint8_t, 4> le{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        Put(le.data(), le.size());
        return *this;
    }
    FrameWriter& Bytes(std::span<const uint8_t> data)
    {
        Put(data.data(), data.size());
        return *this;
    }

    // True when a payload did not fit into one frame; the frame must not be sent.
    bool Overflowed() const { return overflowed_; }

    std::span<const uint8_t> Frame()
    {
        bytes_[1] = static_cast<uint8_t>(size_ - 2);
        return {bytes_.data(), size_};
    }

private:
    void Put(const uint8_t* data, std::size_t count)
    {
        if (overflowed_ || count > bytes_.size() - size_) {
            overflowed_ = true;
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            bytes_[size_ + i] = data[i];
        }
        size_ += count;
    }

    std::array<uint8_t, kMaxFrameBytes> bytes_{};
    std::size_t size_ = 0;
    bool overflowed_ = false;
};

// Reads little-endian fields from a byte range. A read past the end yields 0
// and marks the reader failed; callers check Ok() before using what they read.
class ByteReader {
public:
    // A start beyond the end leaves the reader failed: it reads nothing.
    explicit ByteReader(std::span<const uint8_t> bytes, std::size_t position = 0)
        : bytes_(bytes), position_(std::min(position, bytes.size())), ok_(position <= bytes.size())
    {
    }

    uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Take(4)); }

    // The next `count` bytes, or an empty span (and failure) when fewer remain.
    std::span<const uint8_t> Bytes(std::size_t count)
    {
        if (!Has(count)) {
            ok_ = false;
            return {};
        }
        const auto part = bytes_.subspan(position_, count);
        position_ += count;
        return part;
    }

    bool Has(std::size_t count) const { return ok_ && count <= bytes_.size() - position_; }
    std::size_t Remaining() const { return ok_ ? bytes_.size() - position_ : 0; }
    std::size_t Position() const { return position_; }
    bool Ok() const { return ok_; }

private:
    uint64_t Take(std::size_t count)
    {
        if (!Has(count)) {
            ok_ = false;
            return 0;
        }
        uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            value |= static_cast<uint64_t>(bytes_[position_ + i]) << (8 * i);
        }
        position_ += count;
        return value;
    }

    std::span<const uint8_t> bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

}  // namespace vexan
