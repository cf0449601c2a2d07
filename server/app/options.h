#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

struct ListenAddress {
    std::string host;
    int port = 0;
};

// "HOST:PORT", "[v6]:PORT"; port 0 asks the system for a free port.
std::optional<ListenAddress> parseListen(std::string_view text);

struct ServerOptions {
    ListenAddress listen{"127.0.0.1", 8787};
    std::filesystem::path dataDir;
    std::string database;            // empty: sqlite:<dataDir>/kestrune.db
    std::filesystem::path outboxDir; // empty: <data>/outbox
    std::string smtpUrl;             // empty: mails go to the outbox folder
    std::string smtpUser;
    std::string smtpPassword; // read from a file or the environment, never an argument
    std::string smtpCaFile;
    std::string mailFrom = "no-reply@kestrune.local";
    std::int64_t initialPoints = 1000;
    int streamDelayMs = 15;
    bool demo = false;
    std::string upstreamUrl;
    std::string upstreamKey;
    int upstreamPointsPer100 = 1;
    std::string certFile;
    std::string keyFile;
    int workers = 4;        // threads for blocking work (database)
    int maxConnections = 0; // 0: from the open-file limit, see defaultMaxConnections
    int maxConnectionsPerAddress = 64;
    int idleTimeoutSeconds = 30;
    std::vector<std::string> trustedProxies; // ADDRESS/PREFIX
    int maxStreamsPerAccount = 10;
    int replyLeaseSeconds = 30; // how soon the replies of an instance that died count no more
    int drainNoticeSeconds = 2; // on SIGTERM, /readyz says 503 this long before accepting ends
    int drainSeconds = 30;      // then requests and replies under way have this long to finish
    int signupsPerHour = 200;
    int maxConversationsPerAccount = 5000;
    std::int64_t maxStoragePerAccount = 100LL * 1024 * 1024; // bytes of message text
    std::optional<ListenAddress> metricsListen; // where Prometheus reads the metrics, if at all
    std::filesystem::path stopWhenMissing;      // empty: run until signalled
};

std::filesystem::path defaultDataDir();

// The database's URL: `database` if given, else the SQLite file in the data folder.
std::string databaseUrlText(const std::filesystem::path& dataDir, const std::string& database);

// Checks the mail settings and reads the SMTP password (from `passwordFile`, else from
// KESTRUNE_SMTP_PASSWORD); returns what is wrong, or empty.
std::string completeMailSettings(ServerOptions& options, const std::string& passwordFile);

// Connections the service may hold with `openFiles` file descriptors: half of what is left
// after the database, the log and the listening socket, because each reply from an upstream
// server holds a second socket; within 16 and 65536.
int defaultMaxConnections(std::uint64_t openFiles);

inline constexpr const char* demoUsername = "demo";
inline constexpr const char* demoEmail = "demo@kestrune.local";
inline constexpr const char* demoPassword = "demo-password-2026";

} // namespace kestrune
