#pragma once

#include "relaylimits.h"

#include <asio.hpp>

#include <array>
#include <memory>
#include <string>

class RelayServer;

// The shared web ports: a visitor reaches a web tunnel (type 0) by its domain, named by the
// Host header of the request on the HTTP port and by the server name of the TLS ClientHello on
// the HTTPS port. The visitor then goes the way of a port tunnel's visitor: a CONN request to
// the client, and the bytes already read go first on the paired data connection.
namespace relay {

// A request head or ClientHello larger than this is refused.
constexpr size_t MaxWebHeadBytes = 16 * 1024;

enum class Head { Need, Named, Bad };

// The Host of an HTTP request head: lower case, without port and trailing dot.
Head hostOfRequest(const std::string &bytes, std::string &host);
// The server name of a TLS ClientHello, the same way; Bad also when it names none.
Head nameOfClientHello(const std::string &bytes, std::string &name);

// An HTTP answer with one of the short error pages; it closes the connection.
std::string errorAnswer(int status, const char *reason, const std::string &text);
std::string unreachableAnswer();

// Sends bytes, ends the sending side and closes once the peer is done or after a few seconds,
// so that unread input does not cut the answer short.
void answerAndClose(asio::ip::tcp::socket socket, std::shared_ptr<Tally> tally, std::string bytes);

// One shared port, HTTP or HTTPS.
class WebPort
{
public:
    WebPort(RelayServer &server, bool tls);

    bool start(int port, std::string &error);
    void stop();

private:
    struct Visitor;

    void accept();
    void read(std::shared_ptr<Visitor> visitor);
    void route(const std::shared_ptr<Visitor> &visitor, const std::string &name);
    void refuse(const std::shared_ptr<Visitor> &visitor, const char *kind, std::string answer);

    RelayServer &server;
    bool tls;
    asio::ip::tcp::acceptor acceptor;
    std::array<char, MaxWebHeadBytes> chunk;
};

} // namespace relay
