// --web-config FILE (web_config.h). yaml-cpp reads it; libxcrypt checks the bcrypt hashes.
#include "brixctl/web_config.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include <yaml-cpp/yaml.h>

namespace brixctl {

namespace {

constexpr off_t kMaxFile = 1 << 20;

bool readSmallFile(const std::string& path, std::string& text, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFile) {
        error =
            path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file of at most 1 MB");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    text.assign(static_cast<std::size_t>(info.st_size), '\0');
    const bool whole = ::read(fd, text.data(), text.size()) == info.st_size;
    ::close(fd);
    if (!whole)
        error = path + ": cannot be read whole";
    return whole;
}

bool isBcrypt(const std::string& hash) {
    // $2a$, $2b$ or $2y$, a cost of two digits, and 53 characters of salt and hash.
    return hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
           (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$' &&
           std::isdigit(static_cast<unsigned char>(hash[4])) &&
           std::isdigit(static_cast<unsigned char>(hash[5])) && hash[6] == '$';
}

// Each check costs 2^cost rounds: beyond 14 one takes seconds, and the server checks on its
// own thread.
constexpr int kMaxCost = 14;

}  // namespace

bool passwordMatches(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();
    const char* made = ::crypt_r(password.c_str(), hash.c_str(), data.get());
    if (made == nullptr || made[0] == '*')
        return false;
    // Compared in time that does not depend on where they differ.
    const std::size_t n = std::strlen(made);
    if (n != hash.size())
        return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < n; ++i)
        differ |= static_cast<unsigned char>(made[i] ^ hash[i]);
    return differ == 0;
}

std::optional<WebConfig> loadWebConfig(const std::string& path, std::string& error) {
    std::string text;
    if (!readSmallFile(path, text, error))
        return std::nullopt;
    const std::string folder =
        path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    const auto relative = [&](const std::string& file) {
        return !file.empty() && file[0] == '/' ? file : folder + "/" + file;
    };
    WebConfig c;
    try {
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull())
            return c;
        if (!root.IsMap()) {
            error = path + ": not a mapping of tls_server_config and basic_auth_users";
            return std::nullopt;
        }
        for (const auto& entry : root) {
            const std::string key = entry.first.as<std::string>();
            if (key != "tls_server_config" && key != "basic_auth_users") {
                error =
                    path + ": " + key + " is not known here (tls_server_config, basic_auth_users)";
                return std::nullopt;
            }
        }
        if (const YAML::Node tls = root["tls_server_config"]; tls && !tls.IsNull()) {
            if (!tls.IsMap()) {
                error = path + ": tls_server_config is not a mapping";
                return std::nullopt;
            }
            for (const auto& entry : tls) {
                const std::string key = entry.first.as<std::string>();
                if (key != "cert_file" && key != "key_file") {
                    error = path + ": tls_server_config: " + key +
                            " is not supported (cert_file and key_file are)";
                    return std::nullopt;
                }
            }
            const std::string cert = tls["cert_file"] ? tls["cert_file"].as<std::string>() : "";
            const std::string key = tls["key_file"] ? tls["key_file"].as<std::string>() : "";
            if (cert.empty() || key.empty()) {
                error = path + ": tls_server_config needs both cert_file and key_file";
                return std::nullopt;
            }
            if (!readSmallFile(relative(cert), c.certificate, error) ||
                !readSmallFile(relative(key), c.key, error)) {
                error = path + ": " + error;
                return std::nullopt;
            }
            if (c.certificate.find("-----BEGIN CERTIFICATE-----") == std::string::npos ||
                c.key.find("PRIVATE KEY-----") == std::string::npos) {
                error = path + ": cert_file and key_file must be a PEM certificate and its key";
                return std::nullopt;
            }
        }
        if (const YAML::Node users = root["basic_auth_users"]; users && !users.IsNull()) {
            if (!users.IsMap()) {
                error = path + ": basic_auth_users is not a mapping of names to bcrypt hashes";
                return std::nullopt;
            }
            for (const auto& entry : users) {
                const std::string name = entry.first.as<std::string>();
                const std::string hash = entry.second.as<std::string>();
                if (name.empty() || name.find(':') != std::string::npos) {
                    error = path + ": a user's name is empty or holds a colon";
                    return std::nullopt;
                }
                if (!isBcrypt(hash)) {
                    error = path + ": the password of " + name +
                            " is no bcrypt hash (make one with htpasswd -nBC 10 " + name + ")";
                    return std::nullopt;
                }
                if (std::stoi(hash.substr(4, 2)) > kMaxCost) {
                    error = path + ": the password of " + name + " has a bcrypt cost above " +
                            std::to_string(kMaxCost) +
                            ", which would take seconds a check (10 is usual)";
                    return std::nullopt;
                }
                // Two passwords for one user: which one holds would be a guess.
                if (!c.users.emplace(name, hash).second) {
                    error = path + ": the user " + name + " is given twice";
                    return std::nullopt;
                }
            }
        }
    } catch (const YAML::Exception& e) {
        error = path + ": " + e.what();
        return std::nullopt;
    }
    return c;
}

}  // namespace brixctl
