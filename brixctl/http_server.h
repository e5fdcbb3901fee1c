#pragma once
// The HTTP side of brixctl serve: /metrics, the dashboard's files, its JSON API and its live
// stream, on one libmicrohttpd thread that no client can hold up.
//
// - Quick answers (/metrics, the status, the files) are made on the server's thread.
// - History queries run on a worker thread of their own while their connection waits aside
//   (suspended), so that a scrape never waits behind a five-year range.
// - The live stream's clients wait aside too, woken when there is something to send; one that
//   reads too slowly is dropped rather than buffered without bound.
// - Every request has a whole-request deadline from its first byte, and one host may hold only
//   so many connections, so that slow clients cannot take every place.

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace brixctl::http {

struct Request {
    std::string path;
    std::map<std::string, std::string> query;  // the arguments, each once
};

struct Reply {
    unsigned status = 200;
    std::string type = "application/json";
    std::string body;
    bool cacheable = false;  // a file that changes only with the program; else no-store
    std::string attachment;  // a file name: the browser saves it rather than shows it
};

using Handler = std::function<Reply(const Request&)>;

class Server {
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Answered on the server's thread: small, bounded work only.
    void route(const std::string& path, Handler handler);
    // Answered on the worker thread while the connection waits aside.
    void slowRoute(const std::string& path, Handler handler);
    // The regular files of `folder` (read once, here) under the URL prefix `prefix` ("/" or
    // "/javascript/dygraphs/"); `index` is served for the prefix itself. False when none is
    // readable.
    bool files(const std::string& prefix, const std::string& folder, const std::string& index = {});
    // A live stream of server-sent events at `path`; `hello` gives each new client its first.
    void stream(const std::string& path, std::function<std::string()> hello);

    // HTTPS with this PEM certificate and key, from the start.
    void useTls(std::string certificate, std::string key);
    // Every request must name one of `users` (name: hash) with a password `matches` its hash
    // (HTTP basic authentication); an empty map asks for none.
    void requireUsers(
        std::map<std::string, std::string> users,
        std::function<bool(const std::string& password, const std::string& hash)> matches);

    // Serves on the listening socket `fd` (taken over); false with the reason.
    bool start(int fd, std::string& error);
    // Sends an event ("event: NAME\ndata: ...\n\n") to every client of the stream. Any thread.
    void publish(const std::string& event, const std::string& data);
    // Once a second or so, from any one thread: ends requests past their deadline, and keeps
    // the stream's idle clients (and proxies) told that it lives.
    void tick();
    // Ends every connection and the server.
    void stop();

    // The stream's clients now, for the status.
    std::size_t streamClients() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Compresses `body` for a client that accepts gzip; empty when it cannot.
std::string gzip(const std::string& body);

}  // namespace brixctl::http
