#include "tlsfront.h"

#include "httpgate.h"
#include "listen.h"
#include "log.h"

#include <array>
#include <sys/socket.h>

using asio::ip::tcp;

namespace {

// Handshakes under way at once: past it new connections are closed until some finish.
constexpr int MaxHandshakes = 1024;
constexpr size_t LinkBufferBytes = 16 * 1024;

logx::Refusals refusals{"api-tls"};

} // namespace

// One TLS connection after its handshake, joined to the gate's end of a socket pair.
struct TlsFront::Link : std::enable_shared_from_this<Link>
{
    Link(tcp::socket s, asio::ssl::context &context, asio::io_context &io)
        : tls(std::move(s), context), inner(io), deadline(io)
    {
    }

    void start()
    {
        pump(true);
        pump(false);
    }

    // up: from the visitor to the gate.
    void pump(bool up)
    {
        auto self = shared_from_this();
        auto &buffer = up ? toGate : toVisitor;
        auto onRead = [self, up, &buffer](const asio::error_code &ec, size_t n) {
            if (ec || self->closed)
                return self->close();
            auto onWritten = [self, up](const asio::error_code &e, size_t) {
                if (e || self->closed)
                    return self->close();
                self->pump(up);
            };
            if (up)
                asio::async_write(self->inner, asio::buffer(buffer.data(), n), onWritten);
            else
                asio::async_write(self->tls, asio::buffer(buffer.data(), n), onWritten);
        };
        if (up)
            tls.async_read_some(asio::buffer(buffer), onRead);
        else
            inner.async_read_some(asio::buffer(buffer), onRead);
    }

    void close()
    {
        if (closed)
            return;
        closed = true;
        asio::error_code ignored;
        deadline.cancel();
        tls.lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
        tls.lowest_layer().close(ignored);
        inner.close(ignored);
    }

    asio::ssl::stream<tcp::socket> tls;
    asio::local::stream_protocol::socket inner;
    asio::steady_timer deadline; // for the handshake
    std::array<char, LinkBufferBytes> toGate;
    std::array<char, LinkBufferBytes> toVisitor;
    bool closed = false;
};

TlsFront::TlsFront(const Config &config, GatedServer &gate)
    : config(config), gate(gate), acceptor(io)
{
}

TlsFront::~TlsFront() = default;

std::unique_ptr<asio::ssl::context> TlsFront::load(std::string &error)
{
    auto fresh = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    asio::error_code ec;
    fresh->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                           asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                           asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use,
                       ec);
    fresh->use_certificate_chain_file(config.tlsCert, ec);
    if (ec) {
        error = "cannot use the certificate " + config.tlsCert + ": " + ec.message();
        return nullptr;
    }
    fresh->use_private_key_file(config.tlsKey, asio::ssl::context::pem, ec);
    if (ec) {
        error = "cannot use the key " + config.tlsKey + ": " + ec.message();
        return nullptr;
    }
    return fresh;
}

bool TlsFront::bind(std::string &error)
{
    context = load(error);
    if (!context)
        return false;
    if (!listenOn(acceptor, config.bindAddress, config.apiPort, error))
        return false;
    accept();
    return true;
}

void TlsFront::run()
{
    io.run();
}

void TlsFront::reload()
{
    asio::post(io, [this] {
        std::string error;
        auto fresh = load(error);
        if (!fresh) {
            logx::error("api", "tls-reload-failed", {{"error", error}});
            return;
        }
        // A connection holds its own reference to the context it was made with.
        context = std::move(fresh);
        logx::info("api", "tls-reloaded", {{"cert", config.tlsCert}});
    });
}

void TlsFront::stop()
{
    asio::post(io, [this] {
        asio::error_code ignored;
        acceptor.close(ignored);
        io.stop();
    });
}

void TlsFront::accept()
{
    acceptor.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec) {
            asio::error_code e;
            const auto peer = socket.remote_endpoint(e);
            std::string source = e ? std::string("?") : peer.address().to_string();
            // An IPv4 visitor on an IPv6 socket counts under its plain IPv4 address.
            if (!e && peer.address().is_v6() && peer.address().to_v6().is_v4_mapped())
                source = asio::ip::make_address_v4(asio::ip::v4_mapped, peer.address().to_v6())
                             .to_string();
            if (handshaking >= MaxHandshakes ||
                handshakes[source] >= config.apiConnectionsPerSource) {
                if (handshakes[source] == 0)
                    handshakes.erase(source);
                refusals.note(handshaking >= MaxHandshakes ? "handshakes"
                                                           : "handshakes-per-source");
                socket.close(e);
            } else {
                handshake(std::move(socket), source, e ? 0 : peer.port());
            }
        }
        accept();
    });
}

void TlsFront::handshake(tcp::socket socket, const std::string &source, int port)
{
    ++handshaking;
    ++handshakes[source];
    auto link = std::make_shared<Link>(std::move(socket), *context, io);
    link->deadline.expires_after(std::chrono::seconds(config.apiRequestTimeoutS));
    link->deadline.async_wait([link](const asio::error_code &ec) {
        if (!ec)
            link->close();
    });
    link->tls.async_handshake(
        asio::ssl::stream_base::server, [this, link, source, port](const asio::error_code &ec) {
            done(source);
            link->deadline.cancel();
            if (ec || link->closed) {
                refusals.note("handshake-failed");
                return link->close();
            }
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                logx::warn("api", "socketpair-failed", {{"errno", std::to_string(errno)}});
                return link->close();
            }
            asio::error_code e;
            link->inner.assign(asio::local::stream_protocol(), pair[1], e);
            if (e) {
                ::close(pair[0]);
                ::close(pair[1]);
                return link->close();
            }
            gate.adopt(pair[0], source, port);
            link->start();
        });
}

void TlsFront::done(const std::string &source)
{
    --handshaking;
    const auto it = handshakes.find(source);
    if (it != handshakes.end() && --it->second <= 0)
        handshakes.erase(it);
}
