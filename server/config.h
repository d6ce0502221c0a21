#pragma once

#include <string>

// Everything the service can be told on its command line.
struct Config
{
    std::string bindAddress = "127.0.0.1";
    int apiPort = 8080;
    int relayPort = 8888;
    int portFirst = 20000; // public ports handed to tunnels
    int portLast = 20999;
    std::string databasePath = "borvane-server.db";
    // The relay address clients connect to (a tunnel's serverIp); the bind address by default.
    std::string publicHost;
    // Tunnels get the domain "t<id>." + this; *.localhost reaches loopback in browsers and curl.
    std::string domainSuffix = "localhost";
    bool demo = false;
    int demoClientPort = 8081;  // the local service of the demo tunnel
    int demoBandwidthMbps = 10; // 0: unlimited
    // Serve only the small demo web page on this port (the demo's "local service") and exit on
    // a signal; 0 runs the service itself.
    int demoWebPort = 0;
    int pairTimeoutMs = 10000;  // a visitor whose data connection does not come is closed
    int loginTimeoutMs = 10000; // a new relay connection must send its first frame in time
    int controlIdleMs = 60000;  // a control connection with no input for this long is dropped
    std::string logLevel = "info";

    // Base of every URL the service hands out (payment pages): "http://host:apiPort".
    std::string publicApiBase() const;
};

enum class ParseResult { Run, Exit, Error };

// Fills config from argv; prints the help text or an error. exitCode is set for Exit and Error.
ParseResult parseArguments(int argc, char **argv, Config &config, int &exitCode);
