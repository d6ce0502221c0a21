#pragma once

#include "config.h"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <map>
#include <memory>
#include <string>

class GatedServer;

// The API over TLS. Connections are accepted and their handshakes done here, within the
// request deadline and under caps per address and in all; each finished one is handed to the
// API's gate over a socket pair under the visitor's own address, so the gate reads, limits and
// times it exactly as a plain connection. Runs on its own thread.
class TlsFront
{
public:
    TlsFront(const Config &config, GatedServer &gate);
    ~TlsFront();

    bool bind(std::string &error);
    void run(); // blocks until stop()
    void stop();
    // Reads the certificate and key again (renewed files); new connections use them, and the
    // old ones stay as they are. Keeps the old pair when the new one does not load.
    void reload();

private:
    struct Link;

    void accept();
    void handshake(asio::ip::tcp::socket socket, const std::string &source, int port);
    void done(const std::string &source);
    std::unique_ptr<asio::ssl::context> load(std::string &error);

    const Config &config;
    GatedServer &gate;
    asio::io_context io;
    std::unique_ptr<asio::ssl::context> context;
    asio::ip::tcp::acceptor acceptor;
    // Handshakes under way, by address and in all.
    std::map<std::string, int> handshakes;
    int handshaking = 0;
};
