#pragma once

// The relay's frame format written once more, apart from the client's own codec, for the test
// doubles and the benchmarks: a double that borrowed the codec under test would agree with it
// whatever it got wrong. A frame is the JSON part's length and the data part's length, each 32
// bits big-endian, then the two parts. Works on QByteArray and std::string alike.

#include <cstddef>
#include <cstdint>

namespace wire {

constexpr int HeaderBytes = 8;
// The longest part a 32-bit signed length can declare: "no limit" for cut().
constexpr std::int64_t AnyLength = 0x7fffffff;

inline void putLength(char *out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = char((value >> (24 - 8 * i)) & 0xff);
}

inline std::uint32_t getLength(const char *in)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | std::uint8_t(in[i]);
    return value;
}

// The 8 header bytes for the two lengths as given, even lengths no real frame has.
template <typename Bytes> Bytes header(std::uint32_t jsonLength, std::uint32_t dataLength)
{
    Bytes out(HeaderBytes, '\0');
    putLength(out.data(), jsonLength);
    putLength(out.data() + 4, dataLength);
    return out;
}

template <typename Bytes> Bytes frame(const Bytes &json, const Bytes &data)
{
    return header<Bytes>(std::uint32_t(json.size()), std::uint32_t(data.size())) + json + data;
}

// The header at the start of a buffer.
struct Header
{
    std::int64_t jsonLength = 0;
    std::int64_t dataLength = 0;
    std::int64_t frameBytes() const { return HeaderBytes + jsonLength + dataLength; }
};

enum class Cut { Incomplete, Whole, Malformed };

// Reads the header at the start of buffer: Whole when the frame is there entirely, Incomplete
// when more bytes are needed, Malformed when a length is negative as a signed 32-bit value or
// a part is longer than maxPartBytes.
template <typename Bytes> Cut cut(const Bytes &buffer, Header *header, std::int64_t maxPartBytes)
{
    if (std::int64_t(buffer.size()) < HeaderBytes)
        return Cut::Incomplete;
    header->jsonLength = std::int32_t(getLength(buffer.data()));
    header->dataLength = std::int32_t(getLength(buffer.data() + 4));
    if (header->jsonLength < 0 || header->dataLength < 0 || header->jsonLength > maxPartBytes ||
        header->dataLength > maxPartBytes)
        return Cut::Malformed;
    return std::int64_t(buffer.size()) < header->frameBytes() ? Cut::Incomplete : Cut::Whole;
}

} // namespace wire
