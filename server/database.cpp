#include "database.h"

#include "databaselink.h"
#include "log.h"
#include "util.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>
#include <utility>

namespace {

// Numbered steps from an empty file to the current schema; PRAGMA user_version records how far
// a database has come, so an older file is brought forward at start.
const char *const migrations[] = {
    // 1: the whole service.
    R"sql(
    CREATE TABLE users (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        phone TEXT NOT NULL UNIQUE,
        name TEXT NOT NULL,
        password_hash TEXT NOT NULL,
        token TEXT NOT NULL UNIQUE,
        created_at INTEGER NOT NULL
    );
    CREATE TABLE verification_codes (
        phone TEXT PRIMARY KEY,
        code TEXT NOT NULL,
        sent_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL,
        attempts INTEGER NOT NULL DEFAULT 0
    );
    CREATE TABLE prices (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        bdw INTEGER NOT NULL,
        pay TEXT NOT NULL,
        info TEXT NOT NULL,
        time INTEGER NOT NULL,
        sort INTEGER NOT NULL DEFAULT 0
    );
    CREATE TABLE tunnels (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        user_id INTEGER NOT NULL REFERENCES users(id),
        name TEXT NOT NULL,
        server_port INTEGER NOT NULL UNIQUE,
        client_ip TEXT NOT NULL,
        client_port INTEGER NOT NULL,
        type INTEGER NOT NULL,
        stop_time INTEGER NOT NULL,
        domain TEXT NOT NULL UNIQUE,
        token TEXT NOT NULL UNIQUE,
        bdw INTEGER NOT NULL,
        price_id INTEGER NOT NULL,
        created_at INTEGER NOT NULL
    );
    CREATE INDEX tunnels_user ON tunnels(user_id);
    CREATE TABLE orders (
        id TEXT PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id),
        price_id INTEGER NOT NULL REFERENCES prices(id),
        tunnel_name TEXT NOT NULL,
        client_ip TEXT NOT NULL,
        client_port INTEGER NOT NULL,
        type INTEGER NOT NULL,
        amount TEXT NOT NULL,
        state TEXT NOT NULL CHECK (state IN ('pending', 'paid')),
        tunnel_id INTEGER,
        created_at INTEGER NOT NULL,
        paid_at INTEGER
    );
    CREATE TABLE app_config (
        key TEXT PRIMARY KEY,
        value TEXT NOT NULL
    );
    CREATE TABLE app_update (
        id INTEGER PRIMARY KEY,
        version TEXT NOT NULL,
        update_desc TEXT NOT NULL,
        urls TEXT NOT NULL,
        must_update INTEGER NOT NULL
    );
    INSERT INTO prices (id, name, bdw, pay, info, time, sort) VALUES
        (1, '免费体验 10Mbps', 10, '0', '永久免费，每个账户可开通两条', 0, 1),
        (2, '标准月付 20Mbps', 20, '9.90', '30天，适合网站与远程桌面', 720, 2),
        (3, '高速季付 50Mbps', 50, '49.00', '90天，适合NAS与大文件传输', 2160, 3);
    INSERT INTO app_config (key, value) VALUES
        ('bvnotice', '欢迎使用Borvane内网穿透。<a href="{site}/">官网</a> 查看帮助与公告。'),
        ('bvnotice_buy', '每个账户可免费开通一条10Mbps隧道；付费套餐支付后立即开通。'),
        ('bvqqgroup', '{site}/#group'),
        ('bvqqkefu', '{site}/#kefu');
    INSERT INTO app_update (id, version, update_desc, urls, must_update) VALUES
        (1, '1.0.0', '当前为最新版本。', '', 0);
    )sql",
    // 2: a token per sign-in, kept only as a hash, with an expiry. The single clear token of
    // each account is retired, which signs everyone out once.
    R"sql(
    CREATE TABLE sessions (
        token_hash TEXT PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id),
        created_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL
    );
    CREATE INDEX sessions_user ON sessions(user_id);
    CREATE INDEX orders_user_state ON orders(user_id, state);
    UPDATE users SET token = 'retired-' || id;
    )sql",
    // 3: the purchase notice said one free tunnel per account while two are allowed.
    R"sql(
    UPDATE app_config SET value = '每个账户可免费开通两条10Mbps隧道；付费套餐支付后立即开通。'
        WHERE key = 'bvnotice_buy'
        AND value = '每个账户可免费开通一条10Mbps隧道；付费套餐支付后立即开通。';
    )sql",
    // 4: several nodes on one database. A tunnel names the relay node it signs in to (empty:
    // whichever is asked, as on a single node); each relay node announces itself; the sign-in
    // and code throttles are kept here so that every API node counts the same attempts.
    R"sql(
    ALTER TABLE tunnels ADD COLUMN node TEXT NOT NULL DEFAULT '';
    CREATE INDEX tunnels_node ON tunnels(node);
    CREATE TABLE nodes (
        host TEXT PRIMARY KEY,
        started_at INTEGER NOT NULL,
        seen_at INTEGER NOT NULL
    );
    CREATE TABLE throttles (
        kind TEXT NOT NULL,
        key TEXT NOT NULL,
        n INTEGER NOT NULL,
        at INTEGER NOT NULL,
        PRIMARY KEY (kind, key)
    );
    )sql",
};

// Every table and its columns, parents before children: what a copy to another database moves.
// Kept in step with the migrations.
struct TableColumns
{
    const char *table;
    const char *columns;
    bool numbered; // its id is handed out by the database
};
const TableColumns allTables[] = {
    {"prices", "id, name, bdw, pay, info, time, sort", false},
    {"app_config", "key, value", false},
    {"app_update", "id, version, update_desc, urls, must_update", false},
    {"users", "id, phone, name, password_hash, token, created_at", true},
    {"tunnels",
     "id, user_id, name, server_port, client_ip, client_port, type, stop_time, domain, token, "
     "bdw, price_id, created_at, node",
     true},
    {"sessions", "token_hash, user_id, created_at, expires_at", false},
    {"verification_codes", "phone, code, sent_at, expires_at, attempts", false},
    {"orders",
     "id, user_id, price_id, tunnel_name, client_ip, client_port, type, amount, state, "
     "tunnel_id, created_at, paid_at",
     false},
    {"nodes", "host, started_at, seen_at", false},
    {"throttles", "kind, key, n, at", false},
};

constexpr int MaxSessionsPerUser = 20;
// A node whose heartbeat is older than this takes no new tunnels.
constexpr int64_t NodeLiveS = 30;

std::string tokenHash(const std::string &token)
{
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(token.data()), token.size());
    char hex[2 * sizeof digest + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

// A statement of the store's one SQL on whichever engine it runs.
class Stmt
{
public:
    Stmt(DatabaseLink *link, const char *sql) : q(link->prepare(sql)) {}

    Stmt &bind(int i, int64_t v)
    {
        q->bind(i, v);
        return *this;
    }
    Stmt &bind(int i, const std::string &v)
    {
        q->bind(i, v);
        return *this;
    }
    DatabaseLink::Step step() { return q->step(); }
    int64_t integer(int col) { return q->integer(col); }
    std::string text(int col) { return q->text(col); }
    int64_t changes() { return q->changes(); }

private:
    std::unique_ptr<DatabaseLink::Query> q;
};

// A write transaction that rolls back unless committed.
class Transaction
{
public:
    explicit Transaction(DatabaseLink *db) : db(db), open(db->beginWrite()) {}
    ~Transaction()
    {
        if (open)
            db->exec("ROLLBACK");
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    explicit operator bool() const { return open; }
    bool commit()
    {
        open = false;
        if (db->exec("COMMIT"))
            return true;
        db->exec("ROLLBACK");
        return false;
    }

private:
    DatabaseLink *db;
    bool open;
};

constexpr auto Row = DatabaseLink::Step::Row;
constexpr auto Done = DatabaseLink::Step::Done;

const char *tunnelColumns = "id, user_id, name, server_port, client_port, type, client_ip, "
                            "stop_time, domain, token, bdw, price_id, node";

TunnelRow readTunnel(Stmt &s)
{
    TunnelRow t;
    t.id = s.integer(0);
    t.userId = s.integer(1);
    t.name = s.text(2);
    t.serverPort = static_cast<int>(s.integer(3));
    t.clientPort = static_cast<int>(s.integer(4));
    t.type = static_cast<int>(s.integer(5));
    t.clientIp = s.text(6);
    t.stopTime = s.integer(7);
    t.domain = s.text(8);
    t.token = s.text(9);
    t.bdw = static_cast<int>(s.integer(10));
    t.priceId = s.integer(11);
    t.node = s.text(12);
    return t;
}

User readUser(Stmt &s)
{
    return User{s.integer(0), s.text(1), s.text(2)};
}

Price readPrice(Stmt &s)
{
    return Price{s.integer(0), s.text(1), static_cast<int>(s.integer(2)),
                 s.text(3),    s.text(4), static_cast<int>(s.integer(5))};
}

Order readOrder(Stmt &s)
{
    Order o;
    o.id = s.text(0);
    o.userId = s.integer(1);
    o.priceId = s.integer(2);
    o.tunnelName = s.text(3);
    o.clientIp = s.text(4);
    o.clientPort = static_cast<int>(s.integer(5));
    o.type = static_cast<int>(s.integer(6));
    o.amount = s.text(7);
    o.state = s.text(8);
    o.tunnelId = s.integer(9);
    o.createdAt = s.integer(10);
    return o;
}

// The single row a lookup by key answers with, or none when the key matches nothing.
template <typename Read> auto firstRow(Stmt &s, Read read) -> std::optional<decltype(read(s))>
{
    if (s.step() != Row)
        return std::nullopt;
    return read(s);
}

// The row one key picks out (a primary key or a unique column), read by `read`.
template <typename Key, typename Read>
auto lookUp(DatabaseLink *db, std::recursive_mutex &mutex, const char *sql, const Key &key,
            Read read) -> std::optional<decltype(read(std::declval<Stmt &>()))>
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, sql);
    s.bind(1, key);
    return firstRow(s, read);
}

} // namespace

bool Price::free() const
{
    // "0", "0.0", "0.00" are free; anything else costs money.
    if (pay.empty())
        return false;
    for (char c : pay)
        if (c != '0' && c != '.')
            return false;
    return true;
}

Database::~Database()
{
    close();
}

bool Database::exec(const char *sql)
{
    return link->exec(sql);
}

bool Database::open(const std::string &where, std::string &error)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    link = DatabaseLink::open(where, error);
    if (!link)
        return false;
    db = link.get();
    if (!migrate(error)) {
        close();
        return false;
    }
    return true;
}

void Database::close()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    link.reset();
    db = nullptr;
}

std::string Database::describe()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return link ? link->describe() : std::string();
}

int Database::schemaVersion()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return db ? db->schemaVersion() : -1;
}

bool Database::migrate(std::string &error)
{
    const int target = static_cast<int>(sizeof migrations / sizeof migrations[0]);
    // Each step reads the version under the write lock: nodes that start together on one
    // database take the steps in turn and none twice.
    for (;;) {
        if (!db->beginWrite()) {
            error = "cannot start a transaction";
            return false;
        }
        const int version = db->schemaVersion();
        if (version < 0 || version > target) {
            exec("ROLLBACK");
            error = version < 0 ? "cannot read the schema version (not a database?)"
                                : "the database was written by a newer version (schema " +
                                      std::to_string(version) + ", this build knows " +
                                      std::to_string(target) + ")";
            return false;
        }
        if (version == target)
            return exec("COMMIT");
        if (!db->migrateStep(migrations[version], version + 1)) {
            exec("ROLLBACK");
            error = "schema migration " + std::to_string(version + 1) + " failed";
            return false;
        }
        if (!exec("COMMIT"))
            return false;
        logx::info("db", "migrated", {{"schema", std::to_string(version + 1)}});
    }
}

void Database::setTunnelDefaults(int first, int last, const std::string &suffix)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    portFirst = first;
    portLast = last;
    domainSuffix = suffix;
}

void Database::setPlacement(const std::string &own, const std::string &named)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    ownNode = own;
    namedNode = named;
}

bool Database::shared()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return db && db->shared();
}

std::string Database::placeNode()
{
    // On a file of its own the one node is every tunnel's; a tunnel keeps no name for it, so
    // that a changed --public-host takes all of them along.
    if (!db->shared())
        return std::string();
    if (!namedNode.empty())
        return namedNode;
    Stmt s(db, "SELECT n.host FROM nodes n WHERE n.seen_at > ? ORDER BY "
               "(SELECT COUNT(*) FROM tunnels t WHERE t.node = n.host), n.host LIMIT 1");
    s.bind(1, util::nowSeconds() - NodeLiveS);
    return s.step() == Row ? s.text(0) : ownNode;
}

bool Database::heartbeat(const std::string &host, int64_t startedAt, int64_t now)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "INSERT INTO nodes (host, started_at, seen_at) VALUES (?, ?, ?) ON CONFLICT (host) "
               "DO UPDATE SET started_at = excluded.started_at, seen_at = excluded.seen_at");
    s.bind(1, host).bind(2, startedAt).bind(3, now);
    if (s.step() != Done)
        return false;
    // Throttle rows of keys not seen for two days have nothing left to say.
    Stmt prune(db, "DELETE FROM throttles WHERE at < ? AND kind LIKE 'signin-%'");
    prune.bind(1, now - 2 * 24 * 3600);
    prune.step();
    Stmt days(db, "DELETE FROM throttles WHERE at < ? AND kind LIKE 'code-%'");
    days.bind(1, now / (24 * 3600) - 2);
    days.step();
    return true;
}

std::vector<NodeRow> Database::nodes()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db,
           "SELECT n.host, n.started_at, n.seen_at, "
           "(SELECT COUNT(*) FROM tunnels t WHERE t.node = n.host) FROM nodes n ORDER BY n.host");
    std::vector<NodeRow> list;
    while (s.step() == Row)
        list.push_back(NodeRow{s.text(0), s.integer(1), s.integer(2), s.integer(3)});
    return list;
}

bool Database::moveTunnel(int64_t id, const std::string &host)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "UPDATE tunnels SET node = ? WHERE id = ?");
    s.bind(1, host).bind(2, id);
    return s.step() == Done && s.changes() == 1;
}

bool Database::withThrottles(const std::vector<ThrottleKey> &keys,
                             const std::function<void(ThrottleRows &)> &use)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Transaction transaction(db);
    if (!transaction)
        return false;
    ThrottleRows rows;
    for (const ThrottleKey &k : keys) {
        Stmt s(db, "SELECT n, at FROM throttles WHERE kind = ? AND key = ?");
        s.bind(1, k.first).bind(2, k.second);
        if (s.step() == Row)
            rows[k] = ThrottleRow{s.integer(0), s.integer(1)};
    }
    use(rows);
    for (const ThrottleKey &k : keys) {
        const auto row = rows.find(k);
        Stmt s(db, row == rows.end()
                       ? "DELETE FROM throttles WHERE kind = ? AND key = ?"
                       : "INSERT INTO throttles (kind, key, n, at) VALUES (?, ?, ?, ?) "
                         "ON CONFLICT (kind, key) DO UPDATE SET n = excluded.n, at = excluded.at");
        s.bind(1, k.first).bind(2, k.second);
        if (row != rows.end())
            s.bind(3, row->second.n).bind(4, row->second.at);
        if (s.step() != Done)
            return false;
    }
    return transaction.commit();
}

std::optional<User> Database::userByPhone(const std::string &phone, std::string *passwordHash)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, phone, name, password_hash FROM users WHERE phone = ?");
    s.bind(1, phone);
    if (s.step() != Row)
        return std::nullopt;
    User u = readUser(s);
    if (passwordHash)
        *passwordHash = s.text(3);
    return u;
}

std::optional<User> Database::userById(int64_t id)
{
    return lookUp(db, mutex, "SELECT id, phone, name FROM users WHERE id = ?", id, readUser);
}

std::string Database::createSession(int64_t userId, int64_t now, int64_t lifetimeS)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::string token = util::randomHex(20);
    {
        Stmt s(db, "INSERT INTO sessions (token_hash, user_id, created_at, expires_at) "
                   "VALUES (?, ?, ?, ?)");
        s.bind(1, tokenHash(token)).bind(2, userId).bind(3, now).bind(4, now + lifetimeS);
        if (s.step() != Done)
            return std::string();
    }
    // Expired sessions and all but the newest few go.
    Stmt s(db, "DELETE FROM sessions WHERE user_id = ? AND (expires_at <= ? OR token_hash NOT IN "
               "(SELECT token_hash FROM sessions WHERE user_id = ? ORDER BY created_at DESC, "
               "token_hash DESC LIMIT ?))");
    s.bind(1, userId).bind(2, now).bind(3, userId).bind(4, MaxSessionsPerUser);
    s.step();
    return token;
}

std::optional<User> Database::userBySession(int64_t userId, const std::string &token, int64_t now)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT u.id, u.phone, u.name FROM sessions s JOIN users u ON u.id = s.user_id "
               "WHERE s.token_hash = ? AND s.user_id = ? AND s.expires_at > ?");
    s.bind(1, tokenHash(token)).bind(2, userId).bind(3, now);
    return firstRow(s, readUser);
}

Database::Insert Database::createUser(const std::string &phone, const std::string &name,
                                      const std::string &passwordHash, int64_t &id)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "INSERT INTO users (phone, name, password_hash, token, created_at) "
               "VALUES (?, ?, ?, ?, ?) RETURNING id");
    // Tokens live in sessions; this column only keeps its old constraint satisfied.
    s.bind(1, phone).bind(2, name).bind(3, passwordHash).bind(4, "unused-" + util::randomHex(16));
    s.bind(5, util::nowSeconds());
    const auto rc = s.step();
    if (rc == DatabaseLink::Step::Constraint)
        return Insert::Exists;
    if (rc != Row)
        return Insert::Failed;
    id = s.integer(0);
    return Insert::Ok;
}

Database::CodeStore Database::storeCode(const std::string &phone, const std::string &code,
                                        int64_t now, int64_t lifetimeS, int64_t resendAfterS)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Transaction transaction(db);
    if (!transaction)
        return CodeStore::Failed;
    {
        Stmt s(db, "SELECT sent_at FROM verification_codes WHERE phone = ?");
        s.bind(1, phone);
        if (s.step() == Row && now - s.integer(0) < resendAfterS)
            return CodeStore::TooSoon;
    }
    Stmt s(db, "INSERT INTO verification_codes (phone, code, sent_at, expires_at, attempts) "
               "VALUES (?, ?, ?, ?, 0) ON CONFLICT (phone) DO UPDATE SET code = excluded.code, "
               "sent_at = excluded.sent_at, expires_at = excluded.expires_at, attempts = 0");
    s.bind(1, phone).bind(2, code).bind(3, now).bind(4, now + lifetimeS);
    return s.step() == Done && transaction.commit() ? CodeStore::Ok : CodeStore::Failed;
}

Database::CodeCheck Database::consumeCode(const std::string &phone, const std::string &code,
                                          int64_t now)
{
    constexpr int MaxAttempts = 5;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // Counted under the write lock, so guesses sent to several nodes at once count each.
    Transaction transaction(db);
    if (!transaction)
        return CodeCheck::Missing;
    Stmt s(db, "SELECT code, expires_at, attempts FROM verification_codes WHERE phone = ?");
    s.bind(1, phone);
    if (s.step() != Row)
        return CodeCheck::Missing;
    const std::string stored = s.text(0);
    const int64_t expiresAt = s.integer(1);
    const int64_t attempts = s.integer(2);
    if (attempts >= MaxAttempts)
        return CodeCheck::TooManyTries;
    if (expiresAt <= now)
        return CodeCheck::Expired;
    if (stored != code) {
        Stmt u(db, "UPDATE verification_codes SET attempts = attempts + 1 WHERE phone = ?");
        u.bind(1, phone);
        u.step();
        transaction.commit();
        return attempts + 1 >= MaxAttempts ? CodeCheck::TooManyTries : CodeCheck::Wrong;
    }
    // A code is good for one account only. Its row stays so the resend interval still holds.
    Stmt u(db, "UPDATE verification_codes SET expires_at = 0 WHERE phone = ?");
    u.bind(1, phone);
    if (u.step() != Done || !transaction.commit())
        return CodeCheck::Missing;
    return CodeCheck::Ok;
}

std::vector<TunnelRow> Database::tunnelsOf(int64_t userId)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::string sql =
        std::string("SELECT ") + tunnelColumns + " FROM tunnels WHERE user_id = ? ORDER BY id";
    Stmt s(db, sql.c_str());
    s.bind(1, userId);
    std::vector<TunnelRow> rows;
    while (s.step() == Row)
        rows.push_back(readTunnel(s));
    return rows;
}

std::optional<TunnelRow> Database::tunnelWhere(const char *where, int64_t id,
                                               const std::string *text, bool *failed)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::string sql = std::string("SELECT ") + tunnelColumns + " FROM tunnels WHERE " + where;
    Stmt s(db, sql.c_str());
    if (text)
        s.bind(1, *text);
    else
        s.bind(1, id);
    const auto step = s.step();
    if (failed)
        *failed = step != Row && step != Done;
    if (step != Row)
        return std::nullopt;
    return readTunnel(s);
}

std::optional<TunnelRow> Database::tunnelById(int64_t id)
{
    return tunnelWhere("id = ?", id, nullptr);
}

std::optional<TunnelRow> Database::tunnelByToken(const std::string &token, bool *failed)
{
    return tunnelWhere("token = ?", 0, &token, failed);
}

std::optional<TunnelRow> Database::tunnelByDomain(const std::string &domain, bool *failed)
{
    return tunnelWhere("domain = ?", 0, &domain, failed);
}

bool Database::updateTunnel(int64_t id, const std::string &name, const std::string &clientIp,
                            int clientPort, int type)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "UPDATE tunnels SET name = ?, client_ip = ?, client_port = ?, type = ? "
               "WHERE id = ?");
    s.bind(1, name).bind(2, clientIp).bind(3, clientPort).bind(4, type).bind(5, id);
    return s.step() == Done && s.changes() == 1;
}

std::optional<TunnelRow> Database::createTunnelLocked(const NewTunnel &t, Refusal *why)
{
    auto refuse = [why](Refusal r) {
        if (why)
            *why = r;
        return std::nullopt;
    };
    // Counted in the same transaction as the insert, so parallel orders cannot pass a cap
    // together.
    if (t.maxPerUser > 0) {
        Stmt s(db, "SELECT COUNT(*) FROM tunnels WHERE user_id = ?");
        s.bind(1, t.userId);
        if (s.step() != Row || s.integer(0) >= t.maxPerUser)
            return refuse(Refusal::TooMany);
    }
    if (t.maxWithPrice > 0 && countTunnelsWithPrice(t.userId, t.priceId) >= t.maxWithPrice)
        return refuse(Refusal::TooManyWithPrice);
    std::set<int> used;
    {
        Stmt s(db, "SELECT server_port FROM tunnels WHERE server_port BETWEEN ? AND ?");
        s.bind(1, portFirst).bind(2, portLast);
        while (s.step() == Row)
            used.insert(static_cast<int>(s.integer(0)));
    }
    int port = 0;
    for (int p = portFirst; p <= portLast; ++p) {
        if (!used.count(p)) {
            port = p;
            break;
        }
    }
    if (port == 0)
        return refuse(Refusal::NoPort);
    const std::string node = t.node.empty() ? placeNode() : t.node;
    // The domain names the row, so it is written once the id is known.
    const std::string token = util::randomHex(16);
    const std::string placeholder = "pending-" + token;
    int64_t id = 0;
    {
        Stmt s(db, "INSERT INTO tunnels (user_id, name, server_port, client_ip, client_port, "
                   "type, stop_time, domain, token, bdw, price_id, created_at, node) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id");
        s.bind(1, t.userId).bind(2, t.name).bind(3, port).bind(4, t.clientIp);
        s.bind(5, t.clientPort).bind(6, t.type).bind(7, t.stopTime).bind(8, placeholder);
        s.bind(9, token).bind(10, t.bdw).bind(11, t.priceId).bind(12, util::nowSeconds());
        s.bind(13, node);
        if (s.step() != Row)
            return refuse(Refusal::Failed);
        id = s.integer(0);
    }
    {
        Stmt s(db, "UPDATE tunnels SET domain = ? WHERE id = ?");
        s.bind(1, "t" + std::to_string(id) + "." + domainSuffix).bind(2, id);
        if (s.step() != Done)
            return std::nullopt;
    }
    return tunnelById(id);
}

std::optional<TunnelRow> Database::createTunnel(const NewTunnel &tunnel, Refusal *why)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (why)
        *why = Refusal::Failed;
    Transaction transaction(db);
    if (!transaction)
        return std::nullopt;
    auto row = createTunnelLocked(tunnel, why);
    if (row && !transaction.commit())
        return std::nullopt;
    return row;
}

int Database::countTunnelsWithPrice(int64_t userId, int64_t priceId)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT COUNT(*) FROM tunnels WHERE user_id = ? AND price_id = ?");
    s.bind(1, userId).bind(2, priceId);
    return s.step() == Row ? static_cast<int>(s.integer(0)) : 0;
}

std::vector<Price> Database::prices()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, name, bdw, pay, info, time FROM prices ORDER BY sort, id");
    std::vector<Price> list;
    while (s.step() == Row)
        list.push_back(readPrice(s));
    return list;
}

std::optional<Price> Database::price(int64_t id)
{
    return lookUp(db, mutex, "SELECT id, name, bdw, pay, info, time FROM prices WHERE id = ?", id,
                  readPrice);
}

Database::OrderStore Database::createOrder(const Order &o, int maxPending, int64_t since,
                                           int maxTunnels)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // Counted in the insert's own transaction: orders sent to several nodes at once cannot
    // pass the caps together.
    Transaction transaction(db);
    if (!transaction)
        return OrderStore::Failed;
    {
        Stmt c(db, "SELECT COUNT(*), (SELECT COUNT(*) FROM tunnels WHERE user_id = ?) FROM orders "
                   "WHERE user_id = ? AND state = 'pending' AND created_at > ?");
        c.bind(1, o.userId).bind(2, o.userId).bind(3, since);
        if (c.step() != Row)
            return OrderStore::Failed;
        if (c.integer(0) >= maxPending)
            return OrderStore::TooMany;
        if (c.integer(0) + c.integer(1) >= maxTunnels)
            return OrderStore::NoSlot;
    }
    Stmt s(db, "INSERT INTO orders (id, user_id, price_id, tunnel_name, client_ip, client_port, "
               "type, amount, state, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'pending', ?)");
    s.bind(1, o.id).bind(2, o.userId).bind(3, o.priceId).bind(4, o.tunnelName);
    s.bind(5, o.clientIp).bind(6, o.clientPort).bind(7, o.type).bind(8, o.amount);
    s.bind(9, o.createdAt);
    return s.step() == Done && transaction.commit() ? OrderStore::Ok : OrderStore::Failed;
}

std::optional<Order> Database::order(const std::string &id)
{
    return lookUp(
        db, mutex,
        "SELECT id, user_id, price_id, tunnel_name, client_ip, client_port, type, amount, "
        "state, COALESCE(tunnel_id, 0), created_at FROM orders WHERE id = ?",
        id, readOrder);
}

Database::Pay Database::payOrder(const std::string &id, int64_t now, int maxPerUser,
                                 TunnelRow &created)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const auto o = order(id);
    if (!o)
        return Pay::Missing;
    if (o->state == "paid")
        return Pay::AlreadyPaid;
    const auto p = price(o->priceId);
    if (!p)
        return Pay::Failed;
    if (!db->beginWrite())
        return Pay::Failed;
    NewTunnel t;
    t.userId = o->userId;
    t.name = o->tunnelName;
    t.clientIp = o->clientIp;
    t.clientPort = o->clientPort;
    t.type = o->type;
    t.bdw = p->bdw;
    t.stopTime = p->time > 0 ? now + int64_t(p->time) * 3600 : 0;
    t.priceId = p->id;
    t.maxPerUser = maxPerUser;
    Refusal why = Refusal::Failed;
    auto row = createTunnelLocked(t, &why);
    if (!row) {
        exec("ROLLBACK");
        return why == Refusal::TooMany  ? Pay::TooMany
               : why == Refusal::NoPort ? Pay::NoPort
                                        : Pay::Failed;
    }
    Stmt s(db, "UPDATE orders SET state = 'paid', tunnel_id = ?, paid_at = ? "
               "WHERE id = ? AND state = 'pending'");
    s.bind(1, row->id).bind(2, now).bind(3, id);
    if (s.step() != Done || s.changes() != 1) {
        exec("ROLLBACK");
        return Pay::Failed;
    }
    if (!exec("COMMIT"))
        return Pay::Failed;
    created = *row;
    return Pay::Paid;
}

std::optional<std::string> Database::appConfig(const std::string &key)
{
    return lookUp(db, mutex, "SELECT value FROM app_config WHERE key = ?", key,
                  [](Stmt &row) { return row.text(0); });
}

std::optional<UpdateInfo> Database::updateInfo(int64_t id)
{
    return lookUp(db, mutex,
                  "SELECT version, update_desc, urls, must_update FROM app_update WHERE id = ?", id,
                  [](Stmt &row) {
                      return UpdateInfo{row.text(0), row.text(1), row.text(2),
                                        static_cast<int>(row.integer(3))};
                  });
}

std::optional<TunnelRow> Database::seedDemo(const std::string &phone, const std::string &name,
                                            const std::string &passwordHash, int clientPort,
                                            int bdw, int64_t stopTime)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto user = userByPhone(phone, nullptr);
    if (!user) {
        int64_t id = 0;
        if (createUser(phone, name, passwordHash, id) != Insert::Ok)
            return std::nullopt;
        user = userById(id);
        if (!user)
            return std::nullopt;
    }
    const auto existing = tunnelsOf(user->id);
    if (!existing.empty()) {
        // The demo page's port may differ from one run to the next.
        const TunnelRow &t = existing.front();
        if (t.clientPort != clientPort)
            updateTunnel(t.id, t.name, t.clientIp, clientPort, t.type);
        Stmt s(db, "UPDATE tunnels SET bdw = ?, stop_time = ? WHERE id = ?");
        s.bind(1, bdw).bind(2, stopTime).bind(3, t.id);
        s.step();
        return tunnelById(t.id);
    }
    NewTunnel t;
    t.userId = user->id;
    t.name = "演示隧道";
    t.clientIp = "127.0.0.1";
    t.clientPort = clientPort;
    t.type = 1;
    t.bdw = bdw;
    t.stopTime = stopTime;
    t.priceId = 1;
    return createTunnel(t);
}

bool Database::copyTo(Database &target, std::string &error)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    std::lock_guard<std::recursive_mutex> targetLock(target.mutex);
    Transaction into(target.db);
    if (!into) {
        error = "cannot start a transaction on the target";
        return false;
    }
    {
        Stmt s(target.db, "SELECT (SELECT COUNT(*) FROM users) + (SELECT COUNT(*) FROM tunnels)");
        if (s.step() != Row || s.integer(0) != 0) {
            error = "the target already holds accounts or tunnels; it must be new";
            return false;
        }
    }
    // The target's own first rows (prices, texts) give way to the source's.
    for (auto t = std::rbegin(allTables); t != std::rend(allTables); ++t)
        if (!target.exec((std::string("DELETE FROM ") + t->table).c_str())) {
            error = std::string("cannot empty ") + t->table + " on the target";
            return false;
        }
    for (const TableColumns &t : allTables) {
        const int count =
            1 + static_cast<int>(std::count(t.columns, t.columns + std::strlen(t.columns), ','));
        std::string marks = "?";
        for (int i = 1; i < count; ++i)
            marks += ", ?";
        const std::string select = std::string("SELECT ") + t.columns + " FROM " + t.table;
        const std::string insert =
            std::string("INSERT INTO ") + t.table + " (" + t.columns + ") VALUES (" + marks + ")";
        auto from = db->prepare(select.c_str());
        int64_t rows = 0;
        DatabaseLink::Step step;
        while ((step = from->step()) == Row) {
            auto to = target.db->prepare(insert.c_str());
            for (int c = 0; c < count; ++c) {
                if (from->isNull(c))
                    to->bindNull(c + 1);
                else
                    to->bind(c + 1, from->text(c));
            }
            if (to->step() != Done) {
                error = std::string("cannot copy a row of ") + t.table;
                return false;
            }
            ++rows;
        }
        if (step != Done) {
            error = std::string("cannot read ") + t.table;
            return false;
        }
        if (t.numbered && !target.db->afterBulkCopy(t.table)) {
            error = std::string("cannot move the id counter of ") + t.table;
            return false;
        }
        logx::info("db", "copied", {{"table", t.table}, {"rows", std::to_string(rows)}});
    }
    if (!into.commit()) {
        error = "the copy could not be committed";
        return false;
    }
    return true;
}
