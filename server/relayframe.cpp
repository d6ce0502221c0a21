#include "relayframe.h"

#include "relaycontrol.h"
#include "relayserver.h"

using asio::ip::tcp;
using nlohmann::json;

namespace relay {

std::string frame(const json &body, const std::string &data)
{
    const std::string text = body.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out;
    out.reserve(FrameHeaderBytes + text.size() + data.size());
    auto put = [&out](uint32_t v) {
        out.push_back(static_cast<char>(v >> 24));
        out.push_back(static_cast<char>(v >> 16));
        out.push_back(static_cast<char>(v >> 8));
        out.push_back(static_cast<char>(v));
    };
    put(static_cast<uint32_t>(text.size()));
    put(static_cast<uint32_t>(data.size()));
    out += text;
    out += data;
    return out;
}

int32_t readInt(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<int32_t>(uint32_t(u[0]) << 24 | uint32_t(u[1]) << 16 | uint32_t(u[2]) << 8 |
                                uint32_t(u[3]));
}

std::string peerOf(const tcp::socket &socket)
{
    asio::error_code ec;
    const auto ep = socket.remote_endpoint(ec);
    return ec ? std::string("?") : ep.address().to_string() + ":" + std::to_string(ep.port());
}

void resetAndClose(tcp::socket &socket)
{
    asio::error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

std::string stringMember(const json &body, const char *name)
{
    const auto it = body.find(name);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace relay

using namespace relay;

bool RelayServer::evictOldestUndecided()
{
    auto &queue = tally->undecidedQueue;
    while (!queue.empty()) {
        const auto reader = queue.front().lock();
        if (!reader) {
            queue.pop_front();
            continue;
        }
        reader->finish(); // leaves the queue
        asio::error_code ignored;
        reader->socket.close(ignored);
        noteRefused("undecided-evicted");
        return true;
    }
    return false;
}

void RelayServer::firstFrame(tcp::socket socket, const std::string &source)
{
    // The first frame says what the connection is: LOGIN (control) or CONN (data).
    auto reader = std::make_shared<Reader>(std::move(socket), io, tally, source);
    tally->undecidedQueue.push_back(reader);
    reader->place = std::prev(tally->undecidedQueue.end());
    reader->placed = true;
    asio::error_code ignored;
    reader->socket.non_blocking(true, ignored);
    reader->timer.expires_after(std::chrono::milliseconds(config.firstFrameMs));
    reader->timer.async_wait([this, reader](const asio::error_code &ec) {
        if (ec || reader->done)
            return;
        reader->finish();
        noteRefused("first-frame-timeout");
        asio::error_code e;
        reader->socket.close(e);
    });
    readFirstFrame(reader);
}

void RelayServer::readFirstFrame(std::shared_ptr<Reader> reader)
{
    // Wait for readiness rather than read into a buffer: a silent connection costs no memory.
    reader->socket.async_wait(tcp::socket::wait_read, [this, reader](const asio::error_code &ec) {
        if (reader->done || stopped)
            return;
        asio::error_code e;
        auto drop = [&](const char *why) {
            reader->finish();
            noteRefused(why);
            logx::debug("relay", "dropped", {{"peer", peerOf(reader->socket)}, {"reason", why}});
            reader->socket.close(e);
        };
        if (ec)
            return drop("first-frame-error");
        const size_t n = reader->socket.read_some(reader->buffer.prepare(), e);
        if (e == asio::error::would_block)
            return readFirstFrame(reader);
        if (e) {
            reader->finish();
            reader->socket.close(e);
            return;
        }
        reader->buffer.commit(n);
        json body;
        const auto status = reader->buffer.next(body);
        if (status == FrameBuffer::Status::Need)
            return readFirstFrame(reader);
        if (status == FrameBuffer::Status::Bad)
            return drop("bad-first-frame");
        const std::string type = stringMember(body, "type");
        if (type != "LOGIN" && type != "CONN")
            return drop("unexpected-first-frame");
        reader->finish();
        std::string rest = reader->buffer.takeRest();
        if (type == "LOGIN") {
            auto control = std::make_shared<Control>(*this, std::move(reader->socket), rest);
            login(control, stringMember(body, "token"));
        } else {
            dataConnection(std::move(reader->socket), std::move(rest), stringMember(body, "uid"));
        }
    });
}
