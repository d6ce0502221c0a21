#pragma once

#include "config.h"
#include "database.h"
#include "httpgate.h"
#include "release.h"
#include "tlsfront.h"
#include "util.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The service's HTTP JSON API, its website, web console and payment pages.
// Every JSON answer is the envelope {"flag", "msg", "data"}.
class ApiServer
{
public:
    ApiServer(const Config &config, Database &db);

    bool bind(std::string &error);
    void run(); // blocks until stop()
    void stop();
    // Reads the TLS certificate and key again, if the API speaks TLS.
    void reloadTls();

private:
    using Request = httplib::Request;
    using Response = httplib::Response;

    void routes();
    bool bindTls(std::string &error);
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

    // A request's place among those that hash passwords; none when too many wait already.
    class HashTurn
    {
    public:
        explicit HashTurn(ApiServer &api) : api(api), held(api.enterHashing()) {}
        ~HashTurn()
        {
            if (held)
                api.leaveHashing();
        }
        HashTurn(const HashTurn &) = delete;
        HashTurn &operator=(const HashTurn &) = delete;
        explicit operator bool() const { return held; }

    private:
        ApiServer &api;
        bool held;
    };
    // Both run only with a turn held.
    std::string hashPassword(const HashTurn &turn, const std::string &password);
    bool verifyPassword(const HashTurn &turn, const std::string &hash, const std::string &password);
    bool enterHashing();
    void leaveHashing();
    bool payAllowed(const util::Params &p, const Order &order);
    bool sendSms(const std::string &phone, const std::string &code);

    const Config &config;
    Database &db;
    // The release of --update-dir, read once at bind; its files are read when asked for.
    std::optional<release::Release> update;
    GatedServer server;
    const bool sharedLimits; // the throttles live in the database, shared by the API nodes
    // With TLS: the front that terminates it, and the plain port that only redirects.
    std::unique_ptr<TlsFront> tls;
    std::unique_ptr<GatedServer> redirect;
    std::string dummyHash; // verified against for unknown phones, so timing tells nothing

    // Password hashing takes 64 MiB and a good part of a core: a few at a time. And only
    // half the workers may wait for it, so that cheap requests always find a worker.
    std::mutex hashMutex;
    std::condition_variable hashFree;
    int hashSlots = 2;
    int hashQueued = 0; // waiting or hashing
    int maxHashQueued = 2;

    // Failed sign-ins per address and per phone. Past a few, each further attempt waits twice
    // as long as the one before, so guessing is slow; see signIn for how the two combine so
    // that strangers cannot lock an owner out. Times are steady seconds.
public:
    struct BackoffEntry
    {
        int failures = 0;
        int64_t last = 0; // of the last attempt that was checked
    };
    struct DailyEntry
    {
        int count = 0;
        int64_t day = 0;
    };

private:
    struct Backoff
    {
        int freeFailures;
        int64_t firstWaitS;
        int64_t maxWaitS;
        using Entry = BackoffEntry;
        std::map<std::string, Entry> entries;
        // Key's failures on record, or null; forgets them an hour after its last attempt.
        const Entry *find(const std::string &key, int64_t now);
        // How long key waits after an attempt: 0 until its free failures are used.
        int64_t delay(const std::string &key, int64_t now);
        // Seconds until key may try again; 0: now.
        int64_t waitFor(const std::string &key, int64_t now);
        // A checked attempt: counted, and the wait runs from now.
        void fail(const std::string &key, int64_t now);
        // A refused attempt: counted only, so it lengthens the wait.
        void count(const std::string &key);
        void forgive(const std::string &key, bool all);
    };
    // Uses of something per key and UTC day.
    struct DailyCount
    {
        using Entry = DailyEntry;
        std::map<std::string, Entry> entries;
        // Counts one use unless the cap is reached.
        bool take(const std::string &key, int cap, int64_t now);
        void giveBack(const std::string &key);
    };
    // Runs use with limitMutex held; on a database that nodes share, on the rows of keys
    // loaded into the maps and written back after. False when the database failed.
    bool limited(const std::vector<ThrottleKey> &keys, const std::function<void()> &use);
    int64_t limitClock() const;
    static constexpr const char *SourceKind = "signin-source";
    static constexpr const char *PhoneKind = "signin-phone";
    static constexpr const char *GuessKind = "code-guess";
    static constexpr const char *RequestKind = "code-request";
    std::mutex limitMutex;
    Backoff sourceFailures{5, 10, 900, {}};
    Backoff phoneFailures{10, 2, 60, {}};
    DailyCount codeGuesses;  // per phone
    DailyCount codeRequests; // per address
};

// A tiny web server for the demo page: the local service that the demo tunnel publishes.
class DemoWebServer
{
public:
    bool bind(const std::string &address, int port, std::string &error);
    void run();
    void stop(); // from any thread, also before run() listens

private:
    httplib::Server server;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> ended{false};
};
