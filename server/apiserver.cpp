#include "apiserver.h"

#include "log.h"
#include "metrics.h"
#include "pages.h"
#include "qrpng.h"

#include <sodium.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace {

constexpr int64_t CodeLifetimeS = 300;
constexpr int64_t CodeResendAfterS = 60;
constexpr int MaxFreeTunnelsPerAccount = 2;
constexpr int64_t ForgetFailuresAfterS = 3600;
constexpr int64_t DayS = 24 * 3600;
constexpr size_t MaxTrackedKeys = 100000;
constexpr size_t MinPasswordBytes = 6;
constexpr size_t MaxPasswordBytes = 64;
constexpr size_t MaxTunnelNameChars = 32;
constexpr size_t MaxQrUrlBytes = 1024;
constexpr size_t MaxBodyBytes = 64 * 1024;
const std::string QrPath = "/order/createQrCode?";

void answer(httplib::Response &res, bool flag, const std::string &msg, const json &data = "")
{
    json body = {{"flag", flag}, {"msg", msg}, {"data", data}};
    // Invalid UTF-8 from a caller must not make the answer itself fail.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                    "application/json; charset=utf-8");
}

void refuse(httplib::Response &res, const std::string &msg, const std::string &data = "")
{
    answer(res, false, msg, data);
}

bool validPhone(const std::string &phone)
{
    if (phone.size() != 11 || phone[0] != '1' || phone[1] < '3' || phone[1] > '9')
        return false;
    for (char c : phone)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool validName(const std::string &name)
{
    if (name.empty() || !util::isValidUtf8(name) || util::utf8Length(name) > MaxTunnelNameChars)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    // C1 controls and the marks that reorder text (U+061C, U+200E-F, U+202A-E, U+2066-9): a
    // name must read as what it is.
    for (size_t i = 0; i + 1 < name.size(); ++i) {
        const auto b0 = static_cast<unsigned char>(name[i]);
        const auto b1 = static_cast<unsigned char>(name[i + 1]);
        if ((b0 == 0xc2 && b1 >= 0x80 && b1 <= 0x9f) || (b0 == 0xd8 && b1 == 0x9c))
            return false;
        if (b0 == 0xe2 && i + 2 < name.size()) {
            const auto b2 = static_cast<unsigned char>(name[i + 2]);
            if ((b1 == 0x80 && (b2 == 0x8e || b2 == 0x8f || (b2 >= 0xaa && b2 <= 0xae))) ||
                (b1 == 0x81 && b2 >= 0xa6 && b2 <= 0xa9))
                return false;
        }
    }
    return true;
}

// Web tunnels (0), reached by their domain on the shared web ports, and port tunnels (1).
bool parseType(const std::string &text, long long &type)
{
    return util::parseUInt(text, 1, type);
}

template <class Map> void forgetOld(Map &entries, int64_t now, int64_t age)
{
    if (entries.size() <= MaxTrackedKeys)
        return;
    for (auto it = entries.begin(); it != entries.end();)
        it = now - it->second.last > age ? entries.erase(it) : std::next(it);
    // Still full: an attacker cycling through keys; starting over beats growing without end.
    if (entries.size() > MaxTrackedKeys)
        entries.clear();
}

// The address that limits count against: an IPv4 address, or an IPv6 address's /64, which
// one subscriber usually holds whole.
std::string throttleKey(const std::string &address)
{
    in6_addr v6{};
    if (address.find(':') == std::string::npos || ::inet_pton(AF_INET6, address.c_str(), &v6) != 1)
        return address;
    std::memset(v6.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}

// A request's path as a metrics label: the routes as they are declared, their variable part
// named rather than given, so a scan of random paths cannot grow the series.
std::string routeOf(const std::string &path)
{
    static const char *const exact[] = {"/",
                                        "/console",
                                        "/console/",
                                        "/user",
                                        "/user/getCode",
                                        "/port",
                                        "/port/change",
                                        "/price",
                                        "/order/createQrCode"};
    for (const char *route : exact)
        if (path == route)
            return path;
    static const char *const prefixes[] = {"/port/query/", "/order/pay/", "/appConfig/",
                                           "/app_update/", "/update/"};
    for (const char *prefix : prefixes)
        if (path.compare(0, std::strlen(prefix), prefix) == 0)
            return std::string(prefix) + ":id";
    return "other";
}

} // namespace

namespace {

GateLimits gateLimits(const Config &config)
{
    GateLimits l;
    l.workers = config.apiWorkers;
    l.connectionsPerSource = config.apiConnectionsPerSource;
    l.maxConnections = config.apiMaxConnections;
    l.requestTimeoutS = config.apiRequestTimeoutS;
    l.maxHeaderLines = config.apiMaxHeaderLines;
    l.maxBodyBytes = MaxBodyBytes;
    // A quarter of the process's descriptors at most; the relay counts on the rest.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        l.maxConnections = int(std::min<rlim_t>(rlim_t(l.maxConnections), limit.rlim_cur / 4));
    return l;
}

} // namespace

ApiServer::ApiServer(const Config &cfg, Database &database)
    : config(cfg), db(database), server(gateLimits(cfg)), sharedLimits(database.shared())
{
    maxHashQueued = std::max(hashSlots, config.apiWorkers / 2);
    dummyHash = hashPassword(HashTurn(*this), util::randomHex(16));
    routes();
}

bool ApiServer::bind(std::string &error)
{
    if (!config.updateDir.empty()) {
        update = config.updateKey.empty()
                     ? release::load(config.updateDir, error)
                     : release::sign(config.updateDir, config.updateKey, error);
        if (!update) {
            error = "update folder: " + error;
            return false;
        }
        logx::info("api", "release",
                   {{"version", update->version},
                    {"files", std::to_string(update->files.size())},
                    {"signed", config.updateKey.empty() ? "manifest.json" : "at start"}});
    }
    if (config.apiOverTls())
        return bindTls(error);
    if (!server.bind_to_port(config.bindAddress.c_str(), config.apiPort)) {
        error = "cannot listen on " + config.bindAddress + ":" + std::to_string(config.apiPort);
        return false;
    }
    server.widenBacklog();
    return true;
}

bool ApiServer::bindTls(std::string &error)
{
    // The gate takes its connections from the TLS front; its own listener, which the library
    // needs in order to run, is a loopback port nobody is told of.
    if (server.bind_to_any_port("127.0.0.1") <= 0) {
        error = "cannot listen on a loopback port";
        return false;
    }
    tls = std::make_unique<TlsFront>(config, server);
    if (!tls->bind(error))
        return false;
    if (!config.apiRedirectPort)
        return true;
    GateLimits limits = gateLimits(config);
    limits.workers = 2;
    redirect = std::make_unique<GatedServer>(limits);
    const auto toTls = [this](const Request &req, Response &res) {
        res.set_redirect(config.publicApiBase() + req.target,
                         req.method == "GET" || req.method == "HEAD" ? 301 : 308);
    };
    redirect->Get(".*", toTls);
    redirect->Post(".*", toTls);
    if (!redirect->bind_to_port(config.bindAddress.c_str(), config.apiRedirectPort)) {
        error =
            "cannot listen on " + config.bindAddress + ":" + std::to_string(config.apiRedirectPort);
        return false;
    }
    redirect->widenBacklog();
    return true;
}

void ApiServer::run()
{
    std::thread front([this] {
        if (tls)
            tls->run();
    });
    std::thread plain([this] {
        if (redirect)
            redirect->serve();
    });
    server.serve();
    front.join();
    plain.join();
}

void ApiServer::reloadTls()
{
    if (tls)
        tls->reload();
}

void ApiServer::stop()
{
    server.halt();
    if (tls)
        tls->stop();
    if (redirect)
        redirect->stop();
}

util::Params ApiServer::params(const Request &req) const
{
    // Read from the raw target and body rather than the library's parse, so that a '+' keeps
    // its meaning and the items are seen exactly as the client sent them.
    util::Params p;
    const size_t q = req.target.find('?');
    if (q != std::string::npos)
        p = util::parseForm(std::string_view(req.target).substr(q + 1));
    const std::string type = req.get_header_value("Content-Type");
    if (req.method == "POST" && type.find("application/x-www-form-urlencoded") == 0) {
        for (auto &item : util::parseForm(req.body))
            p.insert(item);
    }
    return p;
}

std::optional<User> ApiServer::authenticate(const util::Params &p)
{
    long long id;
    const std::string token = util::param(p, "token");
    if (!util::parseUInt(util::param(p, "userId"), INT64_MAX / 2, id) || token.empty() ||
        token.size() > 128)
        return std::nullopt;
    return db.userBySession(id, token, util::nowSeconds());
}

json ApiServer::tunnelJson(const TunnelRow &t) const
{
    return {{"id", t.id},
            {"name", t.name},
            {"serverPort", t.serverPort},
            {"clientPort", t.clientPort},
            {"type", t.type},
            {"clientIp", t.clientIp},
            {"stopTime", t.stopTime ? util::formatTime(t.stopTime) : "2099-12-31 23:59:59"},
            {"domain", t.domain},
            // The relay node the tunnel is placed on; on a node of its own, this one.
            {"serverIp", t.node.empty() ? config.publicHost : t.node},
            {"token", t.token},
            {"bdw", t.bdw}};
}

bool ApiServer::enterHashing()
{
    std::unique_lock<std::mutex> lock(hashMutex);
    if (hashQueued >= maxHashQueued)
        return false;
    ++hashQueued;
    hashFree.wait(lock, [this] { return hashSlots > 0; });
    --hashSlots;
    return true;
}

void ApiServer::leaveHashing()
{
    std::lock_guard<std::mutex> lock(hashMutex);
    ++hashSlots;
    --hashQueued;
    hashFree.notify_one();
}

std::string ApiServer::hashPassword(const HashTurn &turn, const std::string &password)
{
    char out[crypto_pwhash_STRBYTES];
    const bool ok = turn && crypto_pwhash_str(out, password.data(), password.size(),
                                              crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                              crypto_pwhash_MEMLIMIT_INTERACTIVE) == 0;
    return ok ? std::string(out) : std::string();
}

bool ApiServer::verifyPassword(const HashTurn &turn, const std::string &hash,
                               const std::string &password)
{
    return turn && !hash.empty() &&
           crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

const ApiServer::Backoff::Entry *ApiServer::Backoff::find(const std::string &key, int64_t now)
{
    const auto it = entries.find(key);
    if (it == entries.end())
        return nullptr;
    if (now - it->second.last > ForgetFailuresAfterS) {
        entries.erase(it);
        return nullptr;
    }
    return &it->second;
}

int64_t ApiServer::Backoff::delay(const std::string &key, int64_t now)
{
    const Entry *e = find(key, now);
    const int over = e ? e->failures - freeFailures : -1;
    return over < 0 ? 0 : std::min<int64_t>(maxWaitS, firstWaitS << std::min(over, 20));
}

int64_t ApiServer::Backoff::waitFor(const std::string &key, int64_t now)
{
    const int64_t wait = delay(key, now);
    const Entry *e = find(key, now);
    return e && wait > 0 ? std::max<int64_t>(0, e->last + wait - now) : 0;
}

void ApiServer::Backoff::fail(const std::string &key, int64_t now)
{
    forgetOld(entries, now, ForgetFailuresAfterS);
    Entry &e = entries[key];
    ++e.failures;
    e.last = now;
}

void ApiServer::Backoff::count(const std::string &key)
{
    const auto it = entries.find(key);
    if (it != entries.end())
        ++it->second.failures;
}

void ApiServer::Backoff::forgive(const std::string &key, bool all)
{
    const auto it = entries.find(key);
    if (it != entries.end() && (all || --it->second.failures <= 0))
        entries.erase(it);
}

bool ApiServer::DailyCount::take(const std::string &key, int cap, int64_t now)
{
    if (entries.size() > MaxTrackedKeys) {
        for (auto it = entries.begin(); it != entries.end();)
            it = it->second.day != now / DayS ? entries.erase(it) : std::next(it);
        if (entries.size() > MaxTrackedKeys)
            return false;
    }
    Entry &e = entries[key];
    if (e.day != now / DayS)
        e = Entry{0, now / DayS};
    if (e.count >= cap)
        return false;
    ++e.count;
    return true;
}

void ApiServer::DailyCount::giveBack(const std::string &key)
{
    const auto it = entries.find(key);
    if (it != entries.end() && it->second.count > 0)
        --it->second.count;
}

namespace {

ThrottleRow rowOf(const ApiServer::BackoffEntry &e)
{
    return {e.failures, e.last};
}
ThrottleRow rowOf(const ApiServer::DailyEntry &e)
{
    return {e.count, e.day};
}
void fill(ApiServer::BackoffEntry &e, const ThrottleRow &r)
{
    e.failures = int(r.n);
    e.last = r.at;
}
void fill(ApiServer::DailyEntry &e, const ThrottleRow &r)
{
    e.count = int(r.n);
    e.day = r.at;
}

// One throttle's entries to and from the database's rows of its kind.
template <class Map> void load(Map &entries, const char *kind, const ThrottleRows &rows)
{
    entries.clear();
    for (const auto &[key, row] : rows)
        if (key.first == kind)
            fill(entries[key.second], row);
}
template <class Map> void store(const Map &entries, const char *kind, ThrottleRows &rows)
{
    for (const auto &[key, entry] : entries)
        rows[{kind, key}] = rowOf(entry);
}

} // namespace

int64_t ApiServer::limitClock() const
{
    // Nodes share no steady clock; the wall clock is what they have in common.
    return sharedLimits ? util::nowSeconds() : util::steadySeconds();
}

bool ApiServer::limited(const std::vector<ThrottleKey> &keys, const std::function<void()> &use)
{
    std::lock_guard<std::mutex> lock(limitMutex);
    if (!sharedLimits) {
        use();
        return true;
    }
    // The maps hold just the rows at hand while use() runs, under the database's write turn:
    // every API node counts the same attempts.
    return db.withThrottles(keys, [&](ThrottleRows &rows) {
        load(sourceFailures.entries, SourceKind, rows);
        load(phoneFailures.entries, PhoneKind, rows);
        load(codeGuesses.entries, GuessKind, rows);
        load(codeRequests.entries, RequestKind, rows);
        use();
        rows.clear();
        store(sourceFailures.entries, SourceKind, rows);
        store(phoneFailures.entries, PhoneKind, rows);
        store(codeGuesses.entries, GuessKind, rows);
        store(codeRequests.entries, RequestKind, rows);
    });
}

void ApiServer::routes()
{
    // Connections, heads and deadlines are the gate's (see httpgate.h); the body's size is
    // the library's.
    server.set_payload_max_length(MaxBodyBytes);

    server.set_logger([](const Request &req, const Response &res) {
        // The path only: the query of a sign-in holds the password.
        std::string path = req.path.empty() ? req.target.substr(0, req.target.find('?')) : req.path;
        if (path.size() > 200)
            path = path.substr(0, 200) + "...";
        // An order id is all it takes to open its payment page.
        const std::string payPath = "/order/pay/";
        if (path.compare(0, payPath.size(), payPath) == 0)
            path = payPath + logx::mask(path.substr(payPath.size()));
        logx::info("api", "request",
                   {{"method", req.method},
                    {"path", path},
                    {"status", std::to_string(res.status)},
                    {"peer", req.remote_addr}});
        metrics::noteRequest(req.method + " " + routeOf(path), res.status);
    });
    server.set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
        res.status = 500;
        refuse(res, "服务器内部错误，请稍后重试");
    });
    server.set_error_handler([this](const Request &req, Response &res) {
        // The client asks for the payment QR image with a second '?' in the target
        // (".../createQrCode?url=<payment URL>?userId=..."), which the HTTP library refuses as
        // a malformed request line before routing. Method and target are known by then, so
        // the request is answered here. The library has not read the request's headers at
        // this point: the answer closes the connection so they are never taken for a request.
        if (res.status == 400 && req.method == "GET" &&
            req.target.compare(0, QrPath.size(), QrPath) == 0) {
            res.status = 200;
            qrCode(req, res);
            res.set_header("Connection", "close");
            return;
        }
        if (!res.body.empty())
            return;
        if (res.status == 404)
            refuse(res, "接口不存在");
        else
            refuse(res, "请求无效", std::to_string(res.status));
    });

    server.Get("/user", [this](const Request &q, Response &r) { signIn(q, r); });
    server.Post("/user", [this](const Request &q, Response &r) { registerUser(q, r); });
    server.Post("/user/getCode", [this](const Request &q, Response &r) { getCode(q, r); });
    server.Get(R"(/port/query/([^/]*))",
               [this](const Request &q, Response &r) { tunnelList(q, r); });
    server.Post("/port/change", [this](const Request &q, Response &r) { changeTunnel(q, r); });
    server.Post("/port", [this](const Request &q, Response &r) { orderTunnel(q, r); });
    server.Get("/order/createQrCode", [this](const Request &q, Response &r) { qrCode(q, r); });
    server.Get(R"(/order/pay/([0-9a-f]{1,64}))",
               [this](const Request &q, Response &r) { paymentPage(q, r); });
    server.Post(R"(/order/pay/([0-9a-f]{1,64}))",
                [this](const Request &q, Response &r) { pay(q, r); });

    server.Get("/price", [this](const Request &, Response &res) {
        json list = json::array();
        for (const Price &p : db.prices())
            list.push_back({{"id", p.id},
                            {"name", p.name},
                            {"bdw", p.bdw},
                            {"pay", p.pay},
                            {"info", p.info},
                            {"time", p.time}});
        answer(res, true, "获取成功", list);
    });
    server.Get(R"(/app_update/([0-9]{1,9}))", [this](const Request &req, Response &res) {
        if (update && req.matches[1].str() == "1") {
            // The release folder's files, each from this service's own address.
            std::string urls;
            for (const std::string &name : update->files)
                urls += (urls.empty() ? "" : "|||") + config.publicApiBase() + "/update/" +
                        util::percentEncode(name);
            return answer(res, true, "获取成功",
                          {{"version", update->version},
                           {"updateDesc", update->updateDesc},
                           {"urls", urls},
                           {"mustUpdate", update->mustUpdate}});
        }
        const auto info = db.updateInfo(std::stoll(req.matches[1].str()));
        if (!info)
            return refuse(res, "没有该应用的版本信息");
        answer(res, true, "获取成功",
               {{"version", info->version},
                {"updateDesc", info->updateDesc},
                {"urls", info->urls},
                {"mustUpdate", info->mustUpdate}});
    });
    server.Get(R"(/update/([^/]{1,255}))", [this](const Request &req, Response &res) {
        const std::string name = req.matches[1].str();
        if (!update ||
            (name != release::ManifestFile &&
             std::find(update->files.begin(), update->files.end(), name) == update->files.end())) {
            res.status = 404;
            return;
        }
        if (name == release::ManifestFile)
            return res.set_content(update->manifest, "application/json");
        std::ifstream in(std::filesystem::path(config.updateDir) / name, std::ios::binary);
        std::ostringstream data;
        if (!(data << in.rdbuf())) {
            res.status = 404;
            return;
        }
        res.set_content(data.str(), "application/octet-stream");
    });
    server.Get(R"(/appConfig/([A-Za-z0-9_]{1,64}))", [this](const Request &req, Response &res) {
        auto value = db.appConfig(req.matches[1].str());
        if (!value)
            return refuse(res, "没有该配置项");
        // Links in the stored texts point at this service's own site, wherever it runs.
        const std::string site = config.publicApiBase();
        for (size_t pos; (pos = value->find("{site}")) != std::string::npos;)
            value->replace(pos, 6, site);
        answer(res, true, "获取成功", *value);
    });

    server.Get("/", [this](const Request &, Response &res) {
        res.set_content(pages::home(config.publicApiBase()), "text/html; charset=utf-8");
    });
    auto console = [](const Request &, Response &res) {
        res.set_content(pages::console(), "text/html; charset=utf-8");
    };
    server.Get("/console", console);
    server.Get("/console/", console);
}

void ApiServer::signIn(const Request &req, Response &res)
{
    const util::Params p = params(req);
    if (!util::hasParam(p, "phone") || !util::hasParam(p, "pwd"))
        return refuse(res, "参数不完整", "需要 phone 和 pwd");
    const std::string phone = util::trim(util::param(p, "phone"));
    // Saved credentials are trimmed by the client, typed ones are not: trim both the same way.
    const std::string pwd = util::trim(util::param(p, "pwd"));
    if (phone.empty() || pwd.empty())
        return refuse(res, "登录失败", "手机号和密码不能为空");
    if (!validPhone(phone) || pwd.size() > MaxPasswordBytes)
        return refuse(res, "登录失败", "手机号或密码错误");
    // The attempt counts as a failure before the password is checked, so parallel guesses
    // cannot all pass the limit together; a success takes it back. An attempt refused for
    // waiting counts against its address too: hammering only lengthens its own wait.
    // The phone's wait runs from each address's own last attempt and holds back only addresses
    // with failures on record: guessers cannot take each other's turn or the owner's, and an
    // address that has not failed is always checked, so the owner is never locked out.
    const std::string source = throttleKey(req.remote_addr);
    const int64_t now = limitClock();
    const std::vector<ThrottleKey> keys{{SourceKind, source}, {PhoneKind, phone}};
    int64_t wait = 0;
    const bool counted = limited(keys, [&] {
        const Backoff::Entry *known = sourceFailures.find(source, now);
        const int64_t phoneWait =
            known ? std::max<int64_t>(0, known->last + phoneFailures.delay(phone, now) - now) : 0;
        wait = std::max(sourceFailures.waitFor(source, now), phoneWait);
        if (wait == 0) {
            sourceFailures.fail(source, now);
            phoneFailures.fail(phone, now);
        } else {
            sourceFailures.count(source);
        }
    });
    if (!counted)
        return refuse(res, "登录失败", "服务器繁忙，请稍后重试");
    if (wait > 0) {
        logx::info("api", "signin-throttled",
                   {{"phone", util::maskedPhone(phone)}, {"peer", source}});
        metrics::noteRefusal("api", "signin-throttled");
        return refuse(res, "登录失败", "尝试过于频繁，请" + std::to_string(wait) + "秒后再试");
    }
    const HashTurn turn(*this);
    if (!turn) {
        // Not the caller's failure: the service is busy.
        limited(keys, [&] {
            sourceFailures.forgive(source, false);
            phoneFailures.forgive(phone, false);
        });
        return refuse(res, "登录失败", "服务器繁忙，请稍后重试");
    }
    std::string hash;
    const auto user = db.userByPhone(phone, &hash);
    const bool ok = verifyPassword(turn, user ? hash : dummyHash, pwd) && user;
    if (!ok) {
        logx::info("api", "signin-refused", {{"phone", util::maskedPhone(phone)}});
        metrics::figures().signinFailures.fetch_add(1, std::memory_order_relaxed);
        return refuse(res, "登录失败", "手机号或密码错误");
    }
    limited(keys, [&] {
        sourceFailures.forgive(source, false);
        phoneFailures.forgive(phone, true);
    });
    const std::string token =
        db.createSession(user->id, util::nowSeconds(), int64_t(config.tokenLifetimeDays) * DayS);
    if (token.empty())
        return refuse(res, "登录失败", "服务器繁忙，请稍后重试");
    logx::info("api", "signin", {{"user", std::to_string(user->id)}});
    answer(res, true, "登录成功", {{"id", user->id}, {"name", user->name}, {"token", token}});
}

void ApiServer::registerUser(const Request &req, Response &res)
{
    const util::Params p = params(req);
    for (const char *item : {"phone", "pwd", "code"})
        if (!util::hasParam(p, item))
            return refuse(res, "参数不完整", std::string("缺少 ") + item);
    const std::string phone = util::trim(util::param(p, "phone"));
    const std::string pwd = util::trim(util::param(p, "pwd"));
    const std::string code = util::trim(util::param(p, "code"));
    if (!validPhone(phone))
        return refuse(res, "注册失败", "手机号格式不正确");
    if (pwd.size() < MinPasswordBytes || pwd.size() > MaxPasswordBytes)
        return refuse(res, "注册失败", "密码长度需为6到64个字符");
    long long digits;
    if (code.size() != 6 || !util::parseUInt(code, 999999, digits))
        return refuse(res, "注册失败", "验证码格式不正确");
    if (db.userByPhone(phone, nullptr))
        return refuse(res, "注册失败", "该手机号已注册，请直接登录");
    // A turn at hashing before the code is used up, so a busy service never eats a good code.
    const HashTurn turn(*this);
    if (!turn)
        return refuse(res, "注册失败", "服务器繁忙，请稍后重试");
    // Counted before the check, as with passwords; only wrong guesses stay counted.
    const std::vector<ThrottleKey> guessKeys{{GuessKind, phone}};
    bool taken = false;
    if (!limited(guessKeys, [&] {
            taken = codeGuesses.take(phone, config.codeGuessesPerDay, util::nowSeconds());
        }))
        return refuse(res, "注册失败", "服务器繁忙，请稍后重试");
    if (!taken)
        return refuse(res, "注册失败", "今日验证码错误次数过多，请明天再试");
    const auto check = db.consumeCode(phone, code, util::nowSeconds());
    if (check != Database::CodeCheck::Wrong && check != Database::CodeCheck::TooManyTries)
        limited(guessKeys, [&] { codeGuesses.giveBack(phone); });
    switch (check) {
    case Database::CodeCheck::Ok:
        break;
    case Database::CodeCheck::Missing:
        return refuse(res, "注册失败", "请先获取验证码");
    case Database::CodeCheck::Expired:
        return refuse(res, "注册失败", "验证码已过期，请重新获取");
    case Database::CodeCheck::Wrong:
        return refuse(res, "注册失败", "验证码错误");
    case Database::CodeCheck::TooManyTries:
        return refuse(res, "注册失败", "验证码错误次数过多，请重新获取");
    }
    const std::string hash = hashPassword(turn, pwd);
    if (hash.empty())
        return refuse(res, "注册失败", "服务器繁忙，请稍后重试");
    int64_t id = 0;
    switch (db.createUser(phone, util::maskedPhone(phone), hash, id)) {
    case Database::Insert::Ok:
        break;
    case Database::Insert::Exists:
        return refuse(res, "注册失败", "该手机号已注册，请直接登录");
    case Database::Insert::Failed:
        return refuse(res, "注册失败", "服务器繁忙，请稍后重试");
    }
    logx::info("api", "registered",
               {{"user", std::to_string(id)}, {"phone", util::maskedPhone(phone)}});
    answer(res, true, "注册成功");
}

void ApiServer::getCode(const Request &req, Response &res)
{
    const util::Params p = params(req);
    if (!util::hasParam(p, "phone") || !util::hasParam(p, "verify"))
        return refuse(res, "参数不完整", "需要 phone 和 verify");
    const std::string phone = util::trim(util::param(p, "phone"));
    const std::string verify = util::param(p, "verify");
    const std::string expected = util::md5Hex(phone + "qmz");
    // A phone typed wrongly is told so, rather than blamed on the client's version.
    if (!validPhone(phone))
        return refuse(res, "获取失败", "手机号格式不正确");
    if (verify.size() != expected.size() ||
        sodium_memcmp(verify.data(), expected.data(), expected.size()) != 0)
        return refuse(res, "获取失败", "签名校验失败，请使用最新版客户端");
    if (db.userByPhone(phone, nullptr))
        return refuse(res, "获取失败", "该手机号已注册，请直接登录");
    const std::vector<ThrottleKey> requestKeys{{RequestKind, throttleKey(req.remote_addr)}};
    bool taken = false;
    if (!limited(requestKeys, [&] {
            taken = codeRequests.take(throttleKey(req.remote_addr), config.codeRequestsPerSourceDay,
                                      util::nowSeconds());
        }))
        return refuse(res, "获取失败", "服务器繁忙，请稍后重试");
    if (!taken)
        return refuse(res, "获取失败", "今日获取验证码次数过多，请明天再试");
    const std::string code = util::randomDigits(6);
    const auto stored =
        db.storeCode(phone, code, util::nowSeconds(), CodeLifetimeS, CodeResendAfterS);
    if (stored != Database::CodeStore::Ok)
        limited(requestKeys, [&] { codeRequests.giveBack(throttleKey(req.remote_addr)); });
    switch (stored) {
    case Database::CodeStore::Ok:
        break;
    case Database::CodeStore::TooSoon:
        return refuse(res, "获取失败", "发送太频繁，请60秒后再试");
    case Database::CodeStore::Failed:
        return refuse(res, "获取失败", "服务器繁忙，请稍后重试");
    }
    // No SMS gateway is reachable from here: the text message goes to the outbox file, which
    // only the service's own user can read; the log names the phone masked.
    if (!sendSms(phone, code)) {
        logx::error("sms", "outbox-failed", {{"path", config.smsOutbox}});
        return refuse(res, "获取失败", "服务器繁忙，请稍后重试");
    }
    logx::info(
        "sms", "code",
        {{"phone", util::maskedPhone(phone)}, {"valid_s", "300"}, {"outbox", config.smsOutbox}});
    answer(res, true, "验证码已发送");
}

bool ApiServer::sendSms(const std::string &phone, const std::string &code)
{
    // The codes are for the service's user only: a link is not followed, and a file someone
    // made readable, or that is not a plain file, is made private or refused.
    const int fd = ::open(config.smsOutbox.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        ::close(fd);
        return false;
    }
    const std::string line = util::formatTime(util::nowSeconds()) + " " + phone + " " + code +
                             " 您的Borvane验证码，5分钟内有效\n";
    const bool ok = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    ::close(fd);
    return ok;
}

void ApiServer::tunnelList(const Request &req, Response &res)
{
    const auto user = authenticate(params(req));
    if (!user)
        return refuse(res, "登录状态已失效，请重新登录", "token无效");
    if (req.matches[1].str() != std::to_string(user->id))
        return refuse(res, "无权查看该账户的隧道");
    json list = json::array();
    for (const TunnelRow &t : db.tunnelsOf(user->id))
        list.push_back(tunnelJson(t));
    answer(res, true, "获取成功", list);
}

void ApiServer::changeTunnel(const Request &req, Response &res)
{
    const util::Params p = params(req);
    const auto user = authenticate(p);
    if (!user)
        return refuse(res, "登录状态已失效，请重新登录", "token无效");
    for (const char *item :
         {"tunnelId", "tunnelToken", "clientIp", "clientPort", "tunnelName", "type"})
        if (!util::hasParam(p, item))
            return refuse(res, "参数不完整", std::string("缺少 ") + item);
    long long id, port, type;
    if (!util::parseUInt(util::param(p, "tunnelId"), INT64_MAX / 2, id))
        return refuse(res, "修改失败", "隧道编号不正确");
    const std::string ip = util::trim(util::param(p, "clientIp"));
    const std::string name = util::trim(util::param(p, "tunnelName"));
    if (!util::parseUInt(util::trim(util::param(p, "clientPort")), 65535, port) || port == 0)
        return refuse(res, "修改失败", "内网端口必须是1到65535之间的数字");
    if (!util::isDottedIPv4(ip))
        return refuse(res, "修改失败", "内网IP必须是IPv4地址，如 192.168.1.10");
    if (!validName(name))
        return refuse(res, "修改失败", "隧道名字不能为空，最多32个字");
    if (!parseType(util::param(p, "type"), type))
        return refuse(res, "修改失败", "隧道类型不正确");
    const auto tunnel = db.tunnelById(id);
    const std::string token = util::param(p, "tunnelToken");
    if (!tunnel || tunnel->userId != user->id || tunnel->token.size() != token.size() ||
        sodium_memcmp(tunnel->token.data(), token.data(), token.size()) != 0)
        return refuse(res, "修改失败", "隧道不存在或令牌不匹配");
    if (!db.updateTunnel(id, name, ip, static_cast<int>(port), static_cast<int>(type)))
        return refuse(res, "修改失败", "服务器繁忙，请稍后重试");
    logx::info("api", "tunnel-changed", {{"tunnel", std::to_string(id)}});
    answer(res, true, "修改成功");
}

void ApiServer::orderTunnel(const Request &req, Response &res)
{
    const util::Params p = params(req);
    const auto user = authenticate(p);
    if (!user)
        return refuse(res, "登录状态已失效，请重新登录", "token无效");
    for (const char *item : {"clientIp", "tunnelName", "clientPort", "type", "priceId"})
        if (!util::hasParam(p, item))
            return refuse(res, "参数不完整", std::string("缺少 ") + item);
    long long port, type, priceId;
    const std::string ip = util::trim(util::param(p, "clientIp"));
    const std::string name = util::trim(util::param(p, "tunnelName"));
    if (!validName(name))
        return refuse(res, "开通失败", "隧道名字不能为空，最多32个字");
    if (!util::isDottedIPv4(ip))
        return refuse(res, "开通失败", "内网IP必须是IPv4地址，如 192.168.1.10");
    if (!util::parseUInt(util::trim(util::param(p, "clientPort")), 65535, port) || port == 0)
        return refuse(res, "开通失败", "内网端口必须是1到65535之间的数字");
    if (!parseType(util::param(p, "type"), type))
        return refuse(res, "开通失败", "隧道类型不正确");
    if (!util::parseUInt(util::param(p, "priceId"), INT64_MAX / 2, priceId))
        return refuse(res, "开通失败", "请选择套餐");
    const auto price = db.price(priceId);
    if (!price)
        return refuse(res, "开通失败", "套餐不存在");

    const std::string tooMany =
        "每个账户最多开通" + std::to_string(config.maxTunnelsPerAccount) + "条隧道";
    if (price->free()) {
        NewTunnel t;
        t.userId = user->id;
        t.name = name;
        t.clientIp = ip;
        t.clientPort = static_cast<int>(port);
        t.type = static_cast<int>(type);
        t.bdw = price->bdw;
        t.stopTime = price->time > 0 ? util::nowSeconds() + int64_t(price->time) * 3600 : 0;
        t.priceId = price->id;
        t.maxPerUser = config.maxTunnelsPerAccount;
        t.maxWithPrice = MaxFreeTunnelsPerAccount;
        Database::Refusal why = Database::Refusal::Failed;
        const auto row = db.createTunnel(t, &why);
        if (!row) {
            switch (why) {
            case Database::Refusal::TooMany:
                return refuse(res, "开通失败", tooMany);
            case Database::Refusal::TooManyWithPrice:
                return refuse(res, "开通失败", "免费隧道每个账户最多开通两条");
            case Database::Refusal::NoPort:
                return refuse(res, "开通失败", "公网端口已用完，请联系客服");
            case Database::Refusal::Failed:
                break;
            }
            return refuse(res, "开通失败", "服务器繁忙，请稍后重试");
        }
        logx::info(
            "api", "tunnel-created",
            {{"tunnel", std::to_string(row->id)}, {"port", std::to_string(row->serverPort)}});
        return answer(res, true, "开通成功", "TunnelOk");
    }

    if (int(db.tunnelsOf(user->id).size()) >= config.maxTunnelsPerAccount)
        return refuse(res, "开通失败", tooMany);
    Order o;
    o.id = util::randomHex(16);
    o.userId = user->id;
    o.priceId = price->id;
    o.tunnelName = name;
    o.clientIp = ip;
    o.clientPort = static_cast<int>(port);
    o.type = static_cast<int>(type);
    o.amount = price->pay;
    o.createdAt = util::nowSeconds();
    // Unpaid orders older than a day no longer count: nobody pays those.
    switch (db.createOrder(o, config.maxPendingOrders, o.createdAt - DayS,
                           config.maxTunnelsPerAccount)) {
    case Database::OrderStore::Ok:
        break;
    case Database::OrderStore::TooMany:
        return refuse(res, "开通失败", "待支付的订单过多，请先支付已有订单，或24小时后再试");
    case Database::OrderStore::NoSlot:
        return refuse(res, "开通失败", tooMany);
    case Database::OrderStore::Failed:
        return refuse(res, "开通失败", "服务器繁忙，请稍后重试");
    }
    // The order id is the payment page's key: only its ends go to the log.
    logx::info("api", "order-created",
               {{"order", logx::mask(o.id)}, {"user", std::to_string(user->id)}});
    answer(res, true, "订单已创建，请扫码支付", config.publicApiBase() + "/order/pay/" + o.id);
}

void ApiServer::qrCode(const Request &req, Response &res)
{
    // The client appends its account items with a second '?':
    //   /order/createQrCode?url=<payment URL>?userId=1&token=abc
    // so the payment URL ends where the last "?userId=" begins.
    const size_t q = req.target.find('?');
    const std::string query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
    std::string url;
    util::Params account;
    if (query.compare(0, 4, "url=") == 0) {
        const std::string rest = query.substr(4);
        const size_t cut = rest.rfind("?userId=");
        if (cut != std::string::npos) {
            url = util::percentDecode(rest.substr(0, cut));
            account = util::parseForm(std::string_view(rest).substr(cut + 1));
        } else {
            account = util::parseForm(query);
            url = util::param(account, "url");
        }
    } else {
        account = util::parseForm(query);
        url = util::param(account, "url");
    }
    const auto user = authenticate(account);
    if (!user) {
        res.status = 403;
        return refuse(res, "登录状态已失效，请重新登录", "token无效");
    }
    const std::string prefix = config.publicApiBase() + "/order/pay/";
    if (url.empty() || url.size() > MaxQrUrlBytes || url.compare(0, prefix.size(), prefix) != 0) {
        res.status = 400;
        return refuse(res, "二维码生成失败", "不是本服务的支付地址");
    }
    const auto order = db.order(url.substr(prefix.size()));
    if (!order || order->userId != user->id) {
        res.status = 404;
        return refuse(res, "二维码生成失败", "订单不存在");
    }
    const auto png = qrCodePng(url);
    if (!png) {
        res.status = 500;
        return refuse(res, "二维码生成失败", "地址过长");
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(*png, "image/png");
}

void ApiServer::paymentPage(const Request &req, Response &res)
{
    const auto order = db.order(req.matches[1].str());
    if (!order) {
        res.status = 404;
        return res.set_content(pages::paymentMissing(), "text/html; charset=utf-8");
    }
    const auto price = db.price(order->priceId);
    res.set_content(pages::payment(*order, price ? &*price : nullptr, ""),
                    "text/html; charset=utf-8");
}

bool ApiServer::payAllowed(const util::Params &p, const Order &order)
{
    const std::string secret = util::param(p, "secret");
    if (!config.paySecret.empty() && secret.size() == config.paySecret.size() &&
        sodium_memcmp(secret.data(), config.paySecret.data(), secret.size()) == 0)
        return true;
    const auto user = authenticate(p);
    return user && user->id == order.userId;
}

void ApiServer::pay(const Request &req, Response &res)
{
    const std::string id = req.matches[1].str();
    const auto pending = db.order(id);
    if (!pending) {
        res.status = 404;
        return res.set_content(pages::paymentMissing(), "text/html; charset=utf-8");
    }
    // Marking an order paid stands in for the provider: it takes the account that placed the
    // order, or the provider's secret.
    if (!payAllowed(params(req), *pending)) {
        logx::info("api", "pay-refused", {{"order", logx::mask(id)}, {"peer", req.remote_addr}});
        res.status = 403;
        const auto price = db.price(pending->priceId);
        return res.set_content(
            pages::payment(*pending, price ? &*price : nullptr, "请先登录下单的账户再确认支付"),
            "text/html; charset=utf-8");
    }
    TunnelRow created;
    std::string message;
    switch (db.payOrder(id, util::nowSeconds(), config.maxTunnelsPerAccount, created)) {
    case Database::Pay::Paid:
        logx::info("api", "order-paid",
                   {{"order", logx::mask(id)},
                    {"tunnel", std::to_string(created.id)},
                    {"port", std::to_string(created.serverPort)}});
        message = "支付成功，隧道已开通";
        break;
    case Database::Pay::AlreadyPaid:
        message = "该订单已支付";
        break;
    case Database::Pay::Missing:
        res.status = 404;
        return res.set_content(pages::paymentMissing(), "text/html; charset=utf-8");
    case Database::Pay::NoPort:
        message = "公网端口已用完，请联系客服";
        break;
    case Database::Pay::TooMany:
        message = "每个账户最多开通" + std::to_string(config.maxTunnelsPerAccount) + "条隧道";
        break;
    case Database::Pay::Failed:
        message = "支付处理失败，请稍后重试";
        break;
    }
    const auto order = db.order(id);
    const auto price = order ? db.price(order->priceId) : std::nullopt;
    res.set_content(order ? pages::payment(*order, price ? &*price : nullptr, message)
                          : pages::paymentMissing(),
                    "text/html; charset=utf-8");
}

bool DemoWebServer::bind(const std::string &address, int port, std::string &error)
{
    server.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(pages::demo(), "text/html; charset=utf-8");
    });
    server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
        logx::info(
            "demo-web", "request",
            {{"method", req.method}, {"path", req.path}, {"status", std::to_string(res.status)}});
    });
    if (!server.bind_to_port(address.c_str(), port)) {
        error = "cannot listen on " + address + ":" + std::to_string(port);
        return false;
    }
    return true;
}

void DemoWebServer::run()
{
    if (!stopRequested)
        server.listen_after_bind();
    ended = true;
}

void DemoWebServer::stop()
{
    stopRequested = true;
    stopWhenListening(server, ended);
}
