#pragma once

#include <asio.hpp>

#include <string>

// Opens, binds and listens on address:port with the system's largest backlog; error says why
// not.
inline bool listenOn(asio::ip::tcp::acceptor &acceptor, const std::string &address, int port,
                     std::string &error)
{
    using asio::ip::tcp;
    asio::error_code ec;
    const tcp::endpoint ep(asio::ip::make_address(address, ec), static_cast<unsigned short>(port));
    if (!ec)
        acceptor.open(ep.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(ep, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
    return !ec;
}
