#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DatabaseLink;

struct User
{
    int64_t id = 0;
    std::string phone;
    std::string name;
};

struct TunnelRow
{
    int64_t id = 0;
    int64_t userId = 0;
    std::string name;
    int serverPort = 0;
    int clientPort = 0;
    int type = 0;
    std::string clientIp;
    int64_t stopTime = 0; // epoch seconds; 0: never expires
    std::string domain;
    std::string token;
    int bdw = 0;
    int64_t priceId = 0;
    std::string node; // the relay node's public host; empty: whichever node is asked

    bool expired(int64_t now) const { return stopTime != 0 && stopTime <= now; }
};

struct Price
{
    int64_t id = 0;
    std::string name;
    int bdw = 0;
    std::string pay; // decimal text, "0" for a free package
    std::string info;
    int time = 0; // hours; 0: unlimited

    bool free() const;
};

struct Order
{
    std::string id;
    int64_t userId = 0;
    int64_t priceId = 0;
    std::string tunnelName;
    std::string clientIp;
    int clientPort = 0;
    int type = 0;
    std::string amount;
    std::string state; // "pending" or "paid"
    int64_t tunnelId = 0;
    int64_t createdAt = 0;
};

struct UpdateInfo
{
    std::string version;
    std::string updateDesc;
    std::string urls;
    int mustUpdate = 0;
};

// What a new tunnel is made of; the database adds id, port, domain and token.
struct NewTunnel
{
    int64_t userId = 0;
    std::string name;
    std::string clientIp;
    int clientPort = 0;
    int type = 1;
    int bdw = 0;
    int64_t stopTime = 0;
    int64_t priceId = 0;
    int maxPerUser = 0;   // 0: no cap on the account's tunnels
    int maxWithPrice = 0; // 0: no cap on the account's tunnels of this price
    std::string node;     // empty: placed by the database
};

// A relay node that announced itself.
struct NodeRow
{
    std::string host;
    int64_t startedAt = 0;
    int64_t seenAt = 0;
    int64_t tunnels = 0;
};

// A counter of a throttle: for a backoff its failures and last attempt, for a daily cap its
// uses and day.
struct ThrottleRow
{
    int64_t n = 0;
    int64_t at = 0;
};
using ThrottleKey = std::pair<std::string, std::string>; // kind, key
using ThrottleRows = std::map<ThrottleKey, ThrottleRow>;

// The service's storage: one connection, to an SQLite file or to a PostgreSQL server that
// several nodes share, serialised by a mutex so the API threads and the relay thread can share
// it. The schema is created or migrated by open(). Whatever a cap counts is counted in the
// write's own transaction, which holds the database's one write turn on either engine.
class Database
{
public:
    Database() = default;
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // An SQLite file path or a postgresql:// URL.
    bool open(const std::string &where, std::string &error);
    void close();
    int schemaVersion();
    // Where the data lives, for logs: the file, or the server without its password.
    std::string describe();
    // Copies every row of this database into target, whose schema is current and which holds
    // no accounts yet; all or nothing.
    bool copyTo(Database &target, std::string &error);

    // Public port range and domain suffix for new tunnels.
    void setTunnelDefaults(int portFirst, int portLast, const std::string &domainSuffix);
    // True when several nodes may share this database (PostgreSQL).
    bool shared();
    // Where new tunnels go on a shared database: the named node, or else the live node with
    // the fewest tunnels, or else own (this node's public host).
    void setPlacement(const std::string &own, const std::string &named);
    // A relay node says it is alive; also clears throttle rows long out of date.
    bool heartbeat(const std::string &host, int64_t startedAt, int64_t now);
    std::vector<NodeRow> nodes();
    // Puts a tunnel on another node; the node that holds it signs it out.
    bool moveTunnel(int64_t id, const std::string &host);
    // Runs use on the rows of keys inside one write transaction and writes back what it leaves
    // (a row it removed is deleted); the API nodes share their throttles through this.
    bool withThrottles(const std::vector<ThrottleKey> &keys,
                       const std::function<void(ThrottleRows &)> &use);

    // Accounts. The password is only ever handed over as a finished hash.
    std::optional<User> userByPhone(const std::string &phone, std::string *passwordHash);
    std::optional<User> userById(int64_t id);
    enum class Insert { Ok, Exists, Failed };
    Insert createUser(const std::string &phone, const std::string &name,
                      const std::string &passwordHash, int64_t &id);

    // Sign-in tokens: each sign-in gets its own, stored as a hash; empty on failure.
    std::string createSession(int64_t userId, int64_t now, int64_t lifetimeS);
    std::optional<User> userBySession(int64_t userId, const std::string &token, int64_t now);

    // Verification codes: one live code per phone.
    enum class CodeStore { Ok, TooSoon, Failed };
    CodeStore storeCode(const std::string &phone, const std::string &code, int64_t now,
                        int64_t lifetimeS, int64_t resendAfterS);
    enum class CodeCheck { Ok, Missing, Expired, Wrong, TooManyTries };
    // Accepts a matching live code once; wrong guesses count and end the code after a few.
    CodeCheck consumeCode(const std::string &phone, const std::string &code, int64_t now);

    // Tunnels.
    std::vector<TunnelRow> tunnelsOf(int64_t userId);
    std::optional<TunnelRow> tunnelById(int64_t id);
    // failed, when given, tells a database that did not answer from a tunnel that is not there.
    std::optional<TunnelRow> tunnelByToken(const std::string &token, bool *failed = nullptr);
    std::optional<TunnelRow> tunnelByDomain(const std::string &domain, bool *failed = nullptr);
    bool updateTunnel(int64_t id, const std::string &name, const std::string &clientIp,
                      int clientPort, int type);
    // Allocates a free public port and a domain; nothing when the range is used up or a cap
    // of the account is reached (why says which).
    enum class Refusal { NoPort, TooMany, TooManyWithPrice, Failed };
    std::optional<TunnelRow> createTunnel(const NewTunnel &tunnel, Refusal *why = nullptr);
    int countTunnelsWithPrice(int64_t userId, int64_t priceId);

    std::vector<Price> prices();
    std::optional<Price> price(int64_t id);

    // Refused when the account has maxPending orders unpaid since the given time (TooMany), or
    // when its tunnels and those orders together fill maxTunnels (NoSlot): every order can be
    // paid into a tunnel.
    enum class OrderStore { Ok, TooMany, NoSlot, Failed };
    OrderStore createOrder(const Order &order, int maxPending, int64_t since, int maxTunnels);
    std::optional<Order> order(const std::string &id);
    enum class Pay { Paid, AlreadyPaid, Missing, NoPort, TooMany, Failed };
    // Marks a pending order paid and creates its tunnel, both or neither.
    Pay payOrder(const std::string &id, int64_t now, int maxPerUser, TunnelRow &created);

    std::optional<std::string> appConfig(const std::string &key);
    std::optional<UpdateInfo> updateInfo(int64_t id);

    // Adds the demo account and its tunnel unless they exist; returns the tunnel.
    std::optional<TunnelRow> seedDemo(const std::string &phone, const std::string &name,
                                      const std::string &passwordHash, int clientPort, int bdw,
                                      int64_t stopTime);

private:
    bool exec(const char *sql);
    bool migrate(std::string &error);
    std::optional<TunnelRow> createTunnelLocked(const NewTunnel &tunnel, Refusal *why);
    std::string placeNode();
    std::optional<TunnelRow> tunnelWhere(const char *where, int64_t id, const std::string *text,
                                         bool *failed = nullptr);

    std::unique_ptr<DatabaseLink> link;
    DatabaseLink *db = nullptr;
    std::recursive_mutex mutex;
    int portFirst = 20000;
    int portLast = 20999;
    std::string domainSuffix = "localhost";
    std::string ownNode;
    std::string namedNode;
};
