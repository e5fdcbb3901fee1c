#pragma once
// --web-config FILE: TLS and users with passwords for brixctl serve's HTTP side, in the format
// the Prometheus exporters read (tls_server_config with cert_file and key_file,
// basic_auth_users with bcrypt hashes), so that one file serves both.

#include <map>
#include <optional>
#include <string>

namespace brixctl {

struct WebConfig {
    std::string certificate;  // PEM, empty: plain HTTP
    std::string key;
    std::map<std::string, std::string> users;  // name: bcrypt hash; empty: no password asked
};

// The configuration in `path`, or nullopt with what is wrong in `error`, for the user to mend
// before the service starts. Files it names are relative to its folder.
std::optional<WebConfig> loadWebConfig(const std::string& path, std::string& error);

// Whether `password` is the one `hash` (bcrypt) was made of.
bool passwordMatches(const std::string& password, const std::string& hash);

}  // namespace brixctl
