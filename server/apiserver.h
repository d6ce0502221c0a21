#pragma once

#include "config.h"
#include "database.h"
#include "httpgate.h"
#include "util.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// The service's HTTP JSON API, its website, web console and payment pages.
// Every JSON answer is the envelope {"flag", "msg", "data"}.
class ApiServer
{
public:
    ApiServer(const Config &config, Database &db);

    bool bind(std::string &error);
    void run(); // blocks until stop()
    void stop();

private:
    using Request = httplib::Request;
    using Response = httplib::Response;

    void routes();
    util::Params params(const Request &req) const;
    std::optional<User> authenticate(const util::Params &p);
    nlohmann::json tunnelJson(const TunnelRow &t) const;

    void signIn(const Request &req, Response &res);
    void registerUser(const Request &req, Response &res);
    void getCode(const Request &req, Response &res);
    void tunnelList(const Request &req, Response &res);
    void changeTunnel(const Request &req, Response &res);
    void orderTunnel(const Request &req, Response &res);
    void qrCode(const Request &req, Response &res);
    void paymentPage(const Request &req, Response &res);
    void pay(const Request &req, Response &res);

    std::string hashPassword(const std::string &password);
    bool verifyPassword(const std::string &hash, const std::string &password);
    bool signInLocked(const std::string &phone);
    void noteSignInFailure(const std::string &phone, bool failed);

    const Config &config;
    Database &db;
    GatedServer server;
    std::string dummyHash; // verified against for unknown phones, so timing tells nothing

    // Password hashing takes 64 MiB and a good part of a core: a few at a time.
    std::mutex hashMutex;
    std::condition_variable hashFree;
    int hashSlots = 2;

    struct Failures
    {
        int count = 0;
        int64_t since = 0;
    };
    std::mutex failureMutex;
    std::map<std::string, Failures> signInFailures;
};

// A tiny web server for the demo page: the local service that the demo tunnel publishes.
class DemoWebServer
{
public:
    bool bind(const std::string &address, int port, std::string &error);
    void run();
    void stop();

private:
    httplib::Server server;
};
