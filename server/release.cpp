#include "release.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace release {

namespace {

// A release file is sent whole from memory; a client is far smaller than this.
constexpr std::uintmax_t MaxFileBytes = 512ull * 1024 * 1024;

bool readFile(const fs::path &path, std::string &data, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path.string();
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    data = buffer.str();
    return true;
}

std::string toHex(const unsigned char *data, size_t size)
{
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), data, size);
    hex.pop_back();
    return hex;
}

bool plainName(const std::string &name)
{
    return !name.empty() && name[0] != '.' && name.find_first_of("/\\") == std::string::npos &&
           name != InfoFile && name != ManifestFile;
}

bool readInfo(const fs::path &dir, Release &r, std::string &error)
{
    std::string text;
    if (!readFile(dir / InfoFile, text, error))
        return false;
    const json info = json::parse(text, nullptr, false);
    if (!info.is_object() || !info.contains("version") || !info["version"].is_string()) {
        error = std::string(InfoFile) + " needs at least {\"version\": \"1.0.1\"}";
        return false;
    }
    r.version = info["version"];
    r.updateDesc = info.value("updateDesc", std::string());
    r.mustUpdate = info.value("mustUpdate", 0);
    return true;
}

bool readKey(const std::string &keyFile, unsigned char (&secret)[crypto_sign_SECRETKEYBYTES],
             std::string &error)
{
    std::string hex;
    if (!readFile(keyFile, hex, error))
        return false;
    while (!hex.empty() && std::isspace(static_cast<unsigned char>(hex.back())))
        hex.pop_back();
    size_t length = 0;
    if (sodium_hex2bin(secret, sizeof secret, hex.data(), hex.size(), nullptr, &length, nullptr) !=
            0 ||
        length != sizeof secret) {
        error = keyFile + " is not a key made by 'borvane-server keygen'";
        return false;
    }
    return true;
}

} // namespace

bool generateKey(const std::string &keyFile, std::string &publicHex, std::string &error)
{
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    const mode_t before = umask(077);
    std::ofstream out(keyFile, std::ios::binary | std::ios::trunc);
    umask(before);
    out << toHex(sk, sizeof sk) << '\n';
    sodium_memzero(sk, sizeof sk);
    if (!out.flush()) {
        error = "cannot write " + keyFile;
        return false;
    }
    publicHex = toHex(pk, sizeof pk);
    return true;
}

std::optional<Release> sign(const std::string &dirName, const std::string &keyFile,
                            std::string &error)
{
    const fs::path dir(dirName);
    Release r;
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    if (!readInfo(dir, r, error) || !readKey(keyFile, sk, error))
        return std::nullopt;
    std::error_code ec;
    // Everything in the folder is published: the secret key must never be among it.
    if (fs::equivalent(fs::absolute(keyFile).parent_path(), dir, ec)) {
        sodium_memzero(sk, sizeof sk);
        error = "the key file must not be inside the release folder";
        return std::nullopt;
    }

    json files = json::array();
    for (const fs::directory_entry &entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || !plainName(name))
            continue;
        if (entry.file_size() > MaxFileBytes) {
            error = name + " is too large to serve";
            return std::nullopt;
        }
        r.files.push_back(name);
    }
    if (ec || r.files.empty()) {
        error = ec ? ec.message() : "no files to release in " + dirName;
        return std::nullopt;
    }
    std::sort(r.files.begin(), r.files.end());
    for (const std::string &name : r.files) {
        std::string data;
        if (!readFile(dir / name, data, error))
            return std::nullopt;
        unsigned char hash[crypto_hash_sha256_BYTES];
        crypto_hash_sha256(hash, reinterpret_cast<const unsigned char *>(data.data()), data.size());
        files.push_back(
            {{"name", name}, {"size", data.size()}, {"sha256", toHex(hash, sizeof hash)}});
    }
    const std::string body = json{{"version", r.version}, {"files", files}}.dump();
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char *>(body.data()),
                         body.size(), sk);
    sodium_memzero(sk, sizeof sk);
    std::string base64(sodium_base64_ENCODED_LEN(sizeof signature, sodium_base64_VARIANT_ORIGINAL),
                       '\0');
    sodium_bin2base64(base64.data(), base64.size(), signature, sizeof signature,
                      sodium_base64_VARIANT_ORIGINAL);
    base64.pop_back();
    r.manifest = json{{"manifest", body}, {"signature", base64}}.dump(2) + "\n";
    return r;
}

std::optional<Release> load(const std::string &dirName, std::string &error)
{
    const fs::path dir(dirName);
    Release r;
    if (!readInfo(dir, r, error) || !readFile(dir / ManifestFile, r.manifest, error))
        return std::nullopt;
    const json doc = json::parse(r.manifest, nullptr, false);
    const json body = doc.is_object() && doc.contains("manifest") && doc["manifest"].is_string()
                          ? json::parse(doc["manifest"].get<std::string>(), nullptr, false)
                          : json();
    if (!body.is_object() || !body.contains("files") || !body["files"].is_array()) {
        error = std::string(ManifestFile) + " is not a signed release list";
        return std::nullopt;
    }
    if (body.value("version", std::string()) != r.version) {
        error = std::string(ManifestFile) + " was signed for another version than " + InfoFile;
        return std::nullopt;
    }
    for (const json &file : body["files"]) {
        const std::string name = file.value("name", std::string());
        if (!plainName(name) || !fs::is_regular_file(dir / name)) {
            error = std::string(ManifestFile) + " lists a file that is not there: " + name;
            return std::nullopt;
        }
        r.files.push_back(name);
    }
    return r;
}

int keygenCommand(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("Usage: borvane-server keygen KEYFILE\n", stderr);
        return 2;
    }
    std::string publicHex, error;
    if (!generateKey(argv[2], publicHex, error)) {
        std::fprintf(stderr, "borvane-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", publicHex.c_str());
    std::fprintf(stderr,
                 "Secret key written to %s; build the client with "
                 "-DBORVANE_UPDATE_PUBLIC_KEY=%s\n",
                 argv[2], publicHex.c_str());
    return 0;
}

int signReleaseCommand(int argc, char **argv)
{
    if (argc != 5 || std::string(argv[3]) != "--key") {
        std::fputs("Usage: borvane-server sign-release DIR --key KEYFILE\n", stderr);
        return 2;
    }
    std::string error;
    const auto r = sign(argv[2], argv[4], error);
    if (!r) {
        std::fprintf(stderr, "borvane-server: %s\n", error.c_str());
        return 1;
    }
    std::ofstream out(fs::path(argv[2]) / ManifestFile, std::ios::binary | std::ios::trunc);
    if (!(out << r->manifest).flush()) {
        std::fprintf(stderr, "borvane-server: cannot write %s\n", ManifestFile);
        return 1;
    }
    std::printf("signed %zu files of version %s\n", r->files.size(), r->version.c_str());
    return 0;
}

} // namespace release
