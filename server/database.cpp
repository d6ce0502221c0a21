#include "database.h"

#include "log.h"
#include "util.h"

#include <sodium.h>
#include <sqlite3.h>

#include <set>
#include <sys/stat.h>

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
};

constexpr int MaxSessionsPerUser = 20;

std::string tokenHash(const std::string &token)
{
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(token.data()), token.size());
    char hex[2 * sizeof digest + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

// A prepared statement that finalises itself.
class Stmt
{
public:
    Stmt(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            logx::error("db", "prepare", {{"error", sqlite3_errmsg(db)}});
            stmt = nullptr;
        }
    }
    ~Stmt() { sqlite3_finalize(stmt); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    bool ok() const { return stmt != nullptr; }
    Stmt &bind(int i, int64_t v)
    {
        if (stmt)
            sqlite3_bind_int64(stmt, i, v);
        return *this;
    }
    Stmt &bind(int i, const std::string &v)
    {
        if (stmt)
            sqlite3_bind_text(stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt ? sqlite3_step(stmt) : SQLITE_ERROR; }
    int64_t integer(int col) { return sqlite3_column_int64(stmt, col); }
    std::string text(int col)
    {
        const unsigned char *p = sqlite3_column_text(stmt, col);
        return p ? std::string(reinterpret_cast<const char *>(p),
                               static_cast<size_t>(sqlite3_column_bytes(stmt, col)))
                 : std::string();
    }

private:
    sqlite3_stmt *stmt = nullptr;
};

const char *tunnelColumns = "id, user_id, name, server_port, client_port, type, client_ip, "
                            "stop_time, domain, token, bdw, price_id";

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
    return t;
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
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        logx::error("db", "exec", {{"error", message ? message : "?"}});
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool Database::open(const std::string &path, std::string &error)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    // Password hashes and tokens live here: readable by the service's own user only. SQLite
    // gives its journal files the database file's mode.
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
    sqlite3_busy_timeout(db, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA foreign_keys=ON");
    exec("PRAGMA synchronous=NORMAL");
    if (!migrate(error)) {
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    return true;
}

void Database::close()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (db) {
        sqlite3_close(db);
        db = nullptr;
    }
}

int Database::schemaVersion()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "PRAGMA user_version");
    return s.step() == SQLITE_ROW ? static_cast<int>(s.integer(0)) : -1;
}

bool Database::migrate(std::string &error)
{
    const int target = static_cast<int>(sizeof migrations / sizeof migrations[0]);
    int version = schemaVersion();
    if (version < 0) {
        error = "cannot read the schema version (not a database?)";
        return false;
    }
    if (version > target) {
        error = "the database was written by a newer version (schema " + std::to_string(version) +
                ", this build knows " + std::to_string(target) + ")";
        return false;
    }
    while (version < target) {
        if (!exec("BEGIN IMMEDIATE"))
            return false;
        const std::string step = std::string(migrations[version]) +
                                 "; PRAGMA user_version=" + std::to_string(version + 1) + ";";
        if (!exec(step.c_str())) {
            exec("ROLLBACK");
            error = "schema migration " + std::to_string(version + 1) + " failed";
            return false;
        }
        if (!exec("COMMIT"))
            return false;
        ++version;
        logx::info("db", "migrated", {{"schema", std::to_string(version)}});
    }
    return true;
}

void Database::setTunnelDefaults(int first, int last, const std::string &suffix)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    portFirst = first;
    portLast = last;
    domainSuffix = suffix;
}

std::optional<User> Database::userByPhone(const std::string &phone, std::string *passwordHash)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, phone, name, password_hash FROM users WHERE phone = ?");
    s.bind(1, phone);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    User u{s.integer(0), s.text(1), s.text(2)};
    if (passwordHash)
        *passwordHash = s.text(3);
    return u;
}

std::optional<User> Database::userById(int64_t id)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, phone, name FROM users WHERE id = ?");
    s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return User{s.integer(0), s.text(1), s.text(2)};
}

std::string Database::createSession(int64_t userId, int64_t now, int64_t lifetimeS)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::string token = util::randomHex(20);
    {
        Stmt s(db, "INSERT INTO sessions (token_hash, user_id, created_at, expires_at) "
                   "VALUES (?, ?, ?, ?)");
        s.bind(1, tokenHash(token)).bind(2, userId).bind(3, now).bind(4, now + lifetimeS);
        if (s.step() != SQLITE_DONE)
            return std::string();
    }
    // Expired sessions and all but the newest few go.
    Stmt s(db, "DELETE FROM sessions WHERE user_id = ? AND (expires_at <= ? OR token_hash NOT IN "
               "(SELECT token_hash FROM sessions WHERE user_id = ? ORDER BY created_at DESC, "
               "rowid DESC LIMIT ?))");
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
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return User{s.integer(0), s.text(1), s.text(2)};
}

Database::Insert Database::createUser(const std::string &phone, const std::string &name,
                                      const std::string &passwordHash, int64_t &id)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "INSERT INTO users (phone, name, password_hash, token, created_at) "
               "VALUES (?, ?, ?, ?, ?)");
    // Tokens live in sessions; this column only keeps its old constraint satisfied.
    s.bind(1, phone).bind(2, name).bind(3, passwordHash).bind(4, "unused-" + util::randomHex(16));
    s.bind(5, util::nowSeconds());
    const int rc = s.step();
    if (rc == SQLITE_CONSTRAINT)
        return Insert::Exists;
    if (rc != SQLITE_DONE)
        return Insert::Failed;
    id = sqlite3_last_insert_rowid(db);
    return Insert::Ok;
}

Database::CodeStore Database::storeCode(const std::string &phone, const std::string &code,
                                        int64_t now, int64_t lifetimeS, int64_t resendAfterS)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    {
        Stmt s(db, "SELECT sent_at FROM verification_codes WHERE phone = ?");
        s.bind(1, phone);
        if (s.step() == SQLITE_ROW && now - s.integer(0) < resendAfterS)
            return CodeStore::TooSoon;
    }
    Stmt s(db, "INSERT OR REPLACE INTO verification_codes (phone, code, sent_at, expires_at, "
               "attempts) VALUES (?, ?, ?, ?, 0)");
    s.bind(1, phone).bind(2, code).bind(3, now).bind(4, now + lifetimeS);
    return s.step() == SQLITE_DONE ? CodeStore::Ok : CodeStore::Failed;
}

Database::CodeCheck Database::consumeCode(const std::string &phone, const std::string &code,
                                          int64_t now)
{
    constexpr int MaxAttempts = 5;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT code, expires_at, attempts FROM verification_codes WHERE phone = ?");
    s.bind(1, phone);
    if (s.step() != SQLITE_ROW)
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
        return attempts + 1 >= MaxAttempts ? CodeCheck::TooManyTries : CodeCheck::Wrong;
    }
    // A code is good for one account only. Its row stays so the resend interval still holds.
    Stmt u(db, "UPDATE verification_codes SET expires_at = 0 WHERE phone = ?");
    u.bind(1, phone);
    u.step();
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
    while (s.step() == SQLITE_ROW)
        rows.push_back(readTunnel(s));
    return rows;
}

std::optional<TunnelRow> Database::tunnelWhere(const char *where, int64_t id,
                                               const std::string *text)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::string sql = std::string("SELECT ") + tunnelColumns + " FROM tunnels WHERE " + where;
    Stmt s(db, sql.c_str());
    if (text)
        s.bind(1, *text);
    else
        s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return readTunnel(s);
}

std::optional<TunnelRow> Database::tunnelById(int64_t id)
{
    return tunnelWhere("id = ?", id, nullptr);
}

std::optional<TunnelRow> Database::tunnelByToken(const std::string &token)
{
    return tunnelWhere("token = ?", 0, &token);
}

std::optional<TunnelRow> Database::tunnelByDomain(const std::string &domain)
{
    return tunnelWhere("domain = ?", 0, &domain);
}

bool Database::updateTunnel(int64_t id, const std::string &name, const std::string &clientIp,
                            int clientPort, int type)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "UPDATE tunnels SET name = ?, client_ip = ?, client_port = ?, type = ? "
               "WHERE id = ?");
    s.bind(1, name).bind(2, clientIp).bind(3, clientPort).bind(4, type).bind(5, id);
    return s.step() == SQLITE_DONE && sqlite3_changes(db) == 1;
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
        if (s.step() != SQLITE_ROW || s.integer(0) >= t.maxPerUser)
            return refuse(Refusal::TooMany);
    }
    if (t.maxWithPrice > 0 && countTunnelsWithPrice(t.userId, t.priceId) >= t.maxWithPrice)
        return refuse(Refusal::TooManyWithPrice);
    std::set<int> used;
    {
        Stmt s(db, "SELECT server_port FROM tunnels WHERE server_port BETWEEN ? AND ?");
        s.bind(1, portFirst).bind(2, portLast);
        while (s.step() == SQLITE_ROW)
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
    // The domain names the row, so it is written once the id is known.
    const std::string token = util::randomHex(16);
    const std::string placeholder = "pending-" + token;
    {
        Stmt s(db, "INSERT INTO tunnels (user_id, name, server_port, client_ip, client_port, "
                   "type, stop_time, domain, token, bdw, price_id, created_at) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.bind(1, t.userId).bind(2, t.name).bind(3, port).bind(4, t.clientIp);
        s.bind(5, t.clientPort).bind(6, t.type).bind(7, t.stopTime).bind(8, placeholder);
        s.bind(9, token).bind(10, t.bdw).bind(11, t.priceId).bind(12, util::nowSeconds());
        if (s.step() != SQLITE_DONE)
            return refuse(Refusal::Failed);
    }
    const int64_t id = sqlite3_last_insert_rowid(db);
    {
        Stmt s(db, "UPDATE tunnels SET domain = ? WHERE id = ?");
        s.bind(1, "t" + std::to_string(id) + "." + domainSuffix).bind(2, id);
        if (s.step() != SQLITE_DONE)
            return std::nullopt;
    }
    return tunnelById(id);
}

std::optional<TunnelRow> Database::createTunnel(const NewTunnel &tunnel, Refusal *why)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (why)
        *why = Refusal::Failed;
    if (!exec("BEGIN IMMEDIATE"))
        return std::nullopt;
    auto row = createTunnelLocked(tunnel, why);
    exec(row ? "COMMIT" : "ROLLBACK");
    return row;
}

int Database::countTunnelsWithPrice(int64_t userId, int64_t priceId)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT COUNT(*) FROM tunnels WHERE user_id = ? AND price_id = ?");
    s.bind(1, userId).bind(2, priceId);
    return s.step() == SQLITE_ROW ? static_cast<int>(s.integer(0)) : 0;
}

std::vector<Price> Database::prices()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, name, bdw, pay, info, time FROM prices ORDER BY sort, id");
    std::vector<Price> list;
    while (s.step() == SQLITE_ROW)
        list.push_back(Price{s.integer(0), s.text(1), static_cast<int>(s.integer(2)), s.text(3),
                             s.text(4), static_cast<int>(s.integer(5))});
    return list;
}

std::optional<Price> Database::price(int64_t id)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, name, bdw, pay, info, time FROM prices WHERE id = ?");
    s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return Price{s.integer(0), s.text(1), static_cast<int>(s.integer(2)),
                 s.text(3),    s.text(4), static_cast<int>(s.integer(5))};
}

Database::OrderStore Database::createOrder(const Order &o, int maxPending, int64_t since,
                                           int maxTunnels)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    {
        Stmt c(db, "SELECT COUNT(*), (SELECT COUNT(*) FROM tunnels WHERE user_id = ?) FROM orders "
                   "WHERE user_id = ? AND state = 'pending' AND created_at > ?");
        c.bind(1, o.userId).bind(2, o.userId).bind(3, since);
        if (c.step() != SQLITE_ROW)
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
    return s.step() == SQLITE_DONE ? OrderStore::Ok : OrderStore::Failed;
}

std::optional<Order> Database::order(const std::string &id)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT id, user_id, price_id, tunnel_name, client_ip, client_port, type, amount, "
               "state, COALESCE(tunnel_id, 0), created_at FROM orders WHERE id = ?");
    s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
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
    if (!exec("BEGIN IMMEDIATE"))
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
    if (s.step() != SQLITE_DONE || sqlite3_changes(db) != 1) {
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
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT value FROM app_config WHERE key = ?");
    s.bind(1, key);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return s.text(0);
}

std::optional<UpdateInfo> Database::updateInfo(int64_t id)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Stmt s(db, "SELECT version, update_desc, urls, must_update FROM app_update WHERE id = ?");
    s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return UpdateInfo{s.text(0), s.text(1), s.text(2), static_cast<int>(s.integer(3))};
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
