#pragma once

#include "relaylimits.h"

#include <asio.hpp>
#include <nlohmann/json.hpp>

#include <cstring>
#include <string>
#include <vector>

// The relay's frames: an 8-byte header (the JSON part's length, then the data part's, both
// big-endian) followed by both parts; and the first frame of a new connection, which says what
// the connection is.
namespace relay {

// The client buffers a whole frame; so do we, but never more than this.
constexpr size_t MaxFrameBytes = 1024 * 1024;
// LOGIN and CONN are under 200 bytes: a stranger's first frame gets no more than this.
constexpr size_t MaxFirstFrameBytes = 4 * 1024;
constexpr size_t FrameHeaderBytes = 8;
constexpr size_t ReadChunkBytes = 16 * 1024;

std::string frame(const nlohmann::json &body, const std::string &data);
int32_t readInt(const char *p);
std::string peerOf(const asio::ip::tcp::socket &socket);
// Closes with a reset rather than an end of stream, for a stream that was cut: its reader must
// not take what it got for all there was.
void resetAndClose(asio::ip::tcp::socket &socket);
std::string stringMember(const nlohmann::json &body, const char *name);

// Bytes received but not yet cut into frames.
class FrameBuffer
{
public:
    enum class Status { Need, Frame, Bad };

    explicit FrameBuffer(size_t limit = MaxFrameBytes, size_t chunk = ReadChunkBytes)
        : limit(limit), chunk(chunk)
    {
    }

    asio::mutable_buffer prepare()
    {
        if (data.size() - used < chunk)
            data.resize(used + chunk);
        return asio::buffer(data.data() + used, data.size() - used);
    }
    void commit(size_t n) { used += n; }
    void append(const std::string &bytes)
    {
        if (bytes.empty()) // an empty vector's data() may be null
            return;
        if (data.size() - used < bytes.size())
            data.resize(used + bytes.size());
        std::memcpy(data.data() + used, bytes.data(), bytes.size());
        used += bytes.size();
    }

    // Takes the next whole frame off the front. Bad: lengths out of bounds or a JSON part that
    // is not a JSON object; the connection is then dropped.
    Status next(nlohmann::json &body)
    {
        if (used < FrameHeaderBytes)
            return Status::Need;
        const int32_t jsonLen = readInt(data.data());
        const int32_t dataLen = readInt(data.data() + 4);
        if (jsonLen < 0 || dataLen < 0 ||
            FrameHeaderBytes + size_t(jsonLen) + size_t(dataLen) > limit)
            return Status::Bad;
        const size_t total = FrameHeaderBytes + size_t(jsonLen) + size_t(dataLen);
        if (used < total)
            return Status::Need;
        body = nlohmann::json::parse(data.data() + FrameHeaderBytes,
                                     data.data() + FrameHeaderBytes + jsonLen, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return Status::Bad;
        std::memmove(data.data(), data.data() + total, used - total);
        used -= total;
        return Status::Frame;
    }

    std::string takeRest()
    {
        std::string rest(data.data(), used);
        used = 0;
        data.clear();
        data.shrink_to_fit();
        return rest;
    }

private:
    size_t limit;
    size_t chunk;
    std::vector<char> data;
    size_t used = 0;
};

// A connection that has not sent its first frame yet. Nothing is buffered for it until it sends.
struct Reader
{
    Reader(asio::ip::tcp::socket s, asio::io_context &io, std::shared_ptr<Tally> t, std::string src)
        : socket(std::move(s)), timer(io), buffer(MaxFirstFrameBytes, MaxFirstFrameBytes),
          held(t, 1), tally(std::move(t)), source(std::move(src))
    {
        ++tally->undecided;
        ++tally->undecidedBySource[source];
    }
    ~Reader() { finish(); }

    // No longer undecided: decided, dropped or timed out.
    void finish()
    {
        if (done)
            return;
        done = true;
        timer.cancel();
        --tally->undecided;
        trimAfterFlood(*tally);
        release(tally->undecidedBySource, source);
        if (placed)
            tally->undecidedQueue.erase(place);
        placed = false;
    }

    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    FrameBuffer buffer;
    Held held;
    std::shared_ptr<Tally> tally;
    std::string source;
    std::list<std::weak_ptr<Reader>>::iterator place;
    bool placed = false;
    bool done = false;
};

} // namespace relay
