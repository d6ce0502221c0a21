#include "relayvhost.h"

#include "listen.h"
#include "log.h"
#include "pages.h"
#include "relaycontrol.h"
#include "relayframe.h"
#include "relayserver.h"

#include <array>
#include <cctype>

using asio::ip::tcp;

namespace relay {

namespace {

// An answered visitor gets this long to read the answer and finish sending.
constexpr auto AnswerLinger = std::chrono::seconds(3);
constexpr size_t TlsRecordHeaderBytes = 5;
constexpr size_t MaxTlsRecordBytes = 16384 + 2048;
// A fatal "unrecognized_name" alert: what a TLS server says to a name it does not serve.
const std::string UnknownNameAlert("\x15\x03\x01\x00\x02\x02\x70", 7);

// Lower case, port and one trailing dot dropped; empty when it is no host name at all.
std::string normalHost(std::string host, bool mayHavePort)
{
    for (char &c : host)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!host.empty() && host[0] == '[') // an IPv6 literal names no tunnel, but is well formed
        return host.find(']') == std::string::npos ? std::string() : host;
    const size_t colon = host.find(':');
    if (mayHavePort && colon != std::string::npos) {
        const std::string port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos)
            return {};
        host.erase(colon);
    }
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return {};
    return host;
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

size_t readNumber(const std::string &b, size_t at, int bytes)
{
    size_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | static_cast<unsigned char>(b[at + size_t(i)]);
    return v;
}

} // namespace

Head hostOfRequest(const std::string &bytes, std::string &host)
{
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos)
        return bytes.size() >= MaxWebHeadBytes ? Head::Bad : Head::Need;
    // The request line: METHOD SP target SP HTTP/x.y
    const size_t lineEnd = bytes.find("\r\n");
    const std::string line = bytes.substr(0, lineEnd);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == 0 || sp2 == std::string::npos || sp2 == sp1 + 1 ||
        line.compare(sp2 + 1, 5, "HTTP/") != 0 || line.find(' ', sp2 + 1) != std::string::npos)
        return Head::Bad;
    for (size_t i = 0; i < sp1; ++i)
        if (!std::isupper(static_cast<unsigned char>(line[i])))
            return Head::Bad;
    bool found = false;
    for (size_t at = lineEnd + 2; at < end + 2;) {
        const size_t next = bytes.find("\r\n", at);
        const std::string field = bytes.substr(at, next - at);
        at = next + 2;
        const size_t colon = field.find(':');
        // No name, white space in it, or a folded line: not a head we pass on.
        if (colon == std::string::npos || colon == 0 || field.find_first_of(" \t") < colon)
            return Head::Bad;
        std::string name = field.substr(0, colon);
        for (char &c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (name != "host")
            continue;
        if (found) // two Hosts: which one the site would believe is anyone's guess
            return Head::Bad;
        found = true;
        host = normalHost(trimmed(field.substr(colon + 1)), true);
    }
    return found && !host.empty() ? Head::Named : Head::Bad;
}

Head nameOfClientHello(const std::string &bytes, std::string &name)
{
    // The handshake message may span records; gather it first.
    std::string hs;
    size_t pos = 0;
    size_t need = 0;
    while (!need || hs.size() < need) {
        if (bytes.size() < pos + TlsRecordHeaderBytes)
            return bytes.size() >= MaxWebHeadBytes ? Head::Bad : Head::Need;
        const size_t length = readNumber(bytes, pos + 3, 2);
        if (bytes[pos] != 0x16 || bytes[pos + 1] != 0x03 || length == 0 ||
            length > MaxTlsRecordBytes)
            return Head::Bad;
        if (bytes.size() < pos + TlsRecordHeaderBytes + length)
            return bytes.size() >= MaxWebHeadBytes ? Head::Bad : Head::Need;
        hs.append(bytes, pos + TlsRecordHeaderBytes, length);
        pos += TlsRecordHeaderBytes + length;
        if (hs.size() >= 4) {
            if (hs[0] != 0x01) // not a ClientHello
                return Head::Bad;
            need = 4 + readNumber(hs, 1, 3);
            if (need > MaxWebHeadBytes)
                return Head::Bad;
        }
    }
    // version (2), random (32), then session id, cipher suites, compression methods.
    size_t p = 4 + 2 + 32;
    const size_t end = need;
    const int lengthBytes[] = {1, 2, 1};
    for (int n : lengthBytes) {
        if (p + size_t(n) > end)
            return Head::Bad;
        p += size_t(n) + readNumber(hs, p, n);
    }
    if (p + 2 > end)
        return Head::Bad;
    const size_t extEnd = p + 2 + readNumber(hs, p, 2);
    if (extEnd > end)
        return Head::Bad;
    for (p += 2; p + 4 <= extEnd;) {
        const size_t type = readNumber(hs, p, 2);
        const size_t length = readNumber(hs, p + 2, 2);
        p += 4;
        if (p + length > extEnd)
            return Head::Bad;
        if (type == 0 && length >= 5) { // server_name: list length, then host_name entries
            const size_t nameType = static_cast<unsigned char>(hs[p + 2]);
            const size_t nameLength = readNumber(hs, p + 3, 2);
            if (nameType != 0 || p + 5 + nameLength > p + length)
                return Head::Bad;
            name = normalHost(hs.substr(p + 5, nameLength), false);
            return name.empty() ? Head::Bad : Head::Named;
        }
        p += length;
    }
    return Head::Bad;
}

std::string errorAnswer(int status, const char *reason, const std::string &text)
{
    const std::string title = std::to_string(status) + " " + reason;
    const std::string page = pages::webError(title, text);
    return "HTTP/1.1 " + std::to_string(status) + " " +
           (status == 404   ? "Not Found"
            : status == 400 ? "Bad Request"
                            : "Bad Gateway") +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(page.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + page;
}

std::string unreachableAnswer()
{
    return errorAnswer(502, "local service unreachable",
                       "The tunnel is running, but the site behind it did not answer.");
}

void answerAndClose(tcp::socket socket, std::shared_ptr<Tally> tally, std::string bytes)
{
    struct Answer
    {
        Answer(tcp::socket s, std::shared_ptr<Tally> t, std::string b)
            : socket(std::move(s)), timer(socket.get_executor()), held(std::move(t), 1),
              bytes(std::move(b))
        {
        }
        void drain(std::shared_ptr<Answer> self)
        {
            socket.async_read_some(asio::buffer(sink), [self](const asio::error_code &ec, size_t) {
                if (!ec)
                    self->drain(self);
                else
                    self->timer.cancel();
            });
        }
        tcp::socket socket;
        asio::steady_timer timer;
        Held held;
        std::string bytes;
        std::array<char, 1024> sink;
    };
    auto a = std::make_shared<Answer>(std::move(socket), std::move(tally), std::move(bytes));
    a->timer.expires_after(AnswerLinger);
    a->timer.async_wait([a](const asio::error_code &) {
        asio::error_code ignored;
        a->socket.close(ignored);
    });
    asio::async_write(a->socket, asio::buffer(a->bytes), [a](const asio::error_code &ec, size_t) {
        if (ec) {
            a->timer.cancel();
            return;
        }
        asio::error_code ignored;
        a->socket.shutdown(tcp::socket::shutdown_send, ignored);
        a->drain(a);
    });
}

struct WebPort::Visitor
{
    Visitor(tcp::socket s, asio::io_context &io, std::shared_ptr<Tally> t, std::string source)
        : reader(std::move(s), io, std::move(t), std::move(source))
    {
    }
    Reader reader; // counts as an undecided connection until routed
    std::string bytes;
};

WebPort::WebPort(RelayServer &server, bool tls) : server(server), tls(tls), acceptor(server.io) {}

bool WebPort::start(int port, std::string &error)
{
    if (!listenOn(acceptor, server.config.bindAddress, port, error))
        return false;
    accept();
    return true;
}

void WebPort::stop()
{
    asio::error_code ignored;
    acceptor.close(ignored);
}

void WebPort::accept()
{
    acceptor.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (server.stopped || ec == asio::error::operation_aborted)
            return;
        std::string source;
        if (!ec && server.admit(socket, source)) {
            auto v = std::make_shared<Visitor>(std::move(socket), server.io, server.tally, source);
            // Shares the relay's queue of undecided connections: a flood on either port makes
            // the oldest silent one go, whichever port it came on.
            server.tally->undecidedQueue.push_back(std::shared_ptr<Reader>(v, &v->reader));
            v->reader.place = std::prev(server.tally->undecidedQueue.end());
            v->reader.placed = true;
            asio::error_code ignored;
            v->reader.socket.non_blocking(true, ignored);
            v->reader.timer.expires_after(std::chrono::milliseconds(server.config.webHeadMs));
            v->reader.timer.async_wait([this, v](const asio::error_code &e) {
                if (e || v->reader.done)
                    return;
                refuse(v, "web-head-timeout", {});
            });
            read(v);
        }
        if (ec && ec != asio::error::operation_aborted) {
            auto timer = std::make_shared<asio::steady_timer>(server.io, AcceptRetryDelay);
            timer->async_wait([this, timer](const asio::error_code &) {
                if (!server.stopped)
                    accept();
            });
            return;
        }
        accept();
    });
}

void WebPort::read(std::shared_ptr<Visitor> v)
{
    // Wait for readiness first: a silent connection holds no buffer.
    v->reader.socket.async_wait(tcp::socket::wait_read, [this, v](const asio::error_code &ec) {
        if (v->reader.done || server.stopped)
            return;
        if (ec)
            return refuse(v, "web-head-error", {});
        // Read into the port's one buffer, so a visitor holds only what it has sent.
        asio::error_code e;
        const size_t n = v->reader.socket.read_some(
            asio::buffer(chunk.data(), MaxWebHeadBytes - v->bytes.size()), e);
        if (!e)
            v->bytes.append(chunk.data(), n);
        if (e == asio::error::would_block)
            return read(v);
        if (e)
            return refuse(v, "web-head-ended", {});
        std::string name;
        switch (tls ? nameOfClientHello(v->bytes, name) : hostOfRequest(v->bytes, name)) {
        case Head::Need:
            return read(v);
        case Head::Bad:
            return refuse(
                v, tls ? "web-bad-hello" : "web-bad-head",
                tls ? UnknownNameAlert
                    : errorAnswer(400, "Bad Request", "The request has no valid Host header."));
        case Head::Named:
            return route(v, name);
        }
    });
}

void WebPort::route(const std::shared_ptr<Visitor> &v, const std::string &name)
{
    const auto domain = server.webDomains.find(name);
    if (domain != server.webDomains.end()) {
        const auto t = server.tunnels.find(domain->second);
        if (t != server.tunnels.end() && t->second->control) {
            v->reader.finish();
            logx::debug("relay", "web-visitor", {{"domain", name}, {"tls", tls ? "1" : "0"}});
            return server.newVisitor(t->second, std::move(v->reader.socket), std::move(v->bytes),
                                     !tls);
        }
    }
    // Not signed in: a web tunnel that exists is offline, any other name is unknown here.
    const auto known = server.domainLookup ? server.domainLookup(name) : std::nullopt;
    if (known && known->type == 0)
        return refuse(v, "web-tunnel-offline",
                      tls ? std::string()
                          : errorAnswer(502, "tunnel offline",
                                        "The tunnel of " + name +
                                            " is not running: its owner's client is not signed "
                                            "in."));
    refuse(v, "web-unknown-name",
           tls ? UnknownNameAlert
               : errorAnswer(404, "Not Found", "No web tunnel answers to " + name + "."));
}

void WebPort::refuse(const std::shared_ptr<Visitor> &v, const char *kind, std::string answer)
{
    v->reader.finish();
    server.noteRefused(kind);
    if (answer.empty()) {
        asio::error_code ignored;
        v->reader.socket.close(ignored);
        return;
    }
    answerAndClose(std::move(v->reader.socket), server.tally, std::move(answer));
}

} // namespace relay
