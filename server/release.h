#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A release folder: the files of a new client version, "release.json" (version, updateDesc,
// mustUpdate, written by the operator) and "manifest.json", the signed list of the files
// (names, sizes, SHA-256) that the client checks every download against.
namespace release {

constexpr const char *InfoFile = "release.json";
constexpr const char *ManifestFile = "manifest.json";

struct Release
{
    std::string version;
    std::string updateDesc;
    int mustUpdate = 0;
    std::vector<std::string> files; // names, sorted
    std::string manifest;           // the signed document served as manifest.json
};

// Writes a new Ed25519 secret key to keyFile (readable by its owner only) and returns the public
// key as hex, the value a client build takes as its update public key.
bool generateKey(const std::string &keyFile, std::string &publicHex, std::string &error);

// Reads release.json and signs the list of the other files of dir with the key in keyFile.
std::optional<Release> sign(const std::string &dir, const std::string &keyFile, std::string &error);
// Reads release.json and the manifest.json that sign-release wrote (the key stays offline).
std::optional<Release> load(const std::string &dir, std::string &error);

// borvane-server keygen FILE / sign-release DIR --key FILE; returns the exit code.
int keygenCommand(int argc, char **argv);
int signReleaseCommand(int argc, char **argv);

} // namespace release
