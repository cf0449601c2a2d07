#include "cli.h"

#include "admin.h"
#include "clientaddress.h"
#include "copydatabase.h"
#include "options.h"
#include "runserver.h"
#include "storage.h"
#include "upstream.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace kestrune
{
namespace
{

// An option whose default the help shows and whose value must lie within [low, high].
template <class Value>
CLI::Option* boundedOption(CLI::App& app, const std::string& name, Value& value,
                           const std::string& help, Value low, Value high)
{
    return app.add_option(name, value, help)->capture_default_str()->check(CLI::Range(low, high));
}

} // namespace

int runCommandLine(int argc, char** argv)
{
    ServerOptions options;
    std::string listen = "127.0.0.1:8787";
    std::string dataDir = defaultDataDir().string();
    std::string outboxDir;
    std::string smtpPasswordFile;

    CLI::App app{"kestrune-server: the KestruneAI chat service (accounts, conversations, "
                 "points and streamed replies).\nWithout a subcommand it runs the service."};
    app.set_version_flag("--version", std::string("kestrune-server ") + version);
    // A later flag overrides an earlier one, so scripts can append to a default command line.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--listen", listen, "Address to listen on, HOST:PORT (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--data", dataDir, "Folder for the database and state")->capture_default_str();
    const std::string databaseHelp =
        "The database: sqlite:PATH or postgresql://USER@HOST/NAME (default: the SQLite file "
        "kestrune.db in --data); a PostgreSQL password belongs in ~/.pgpass or PGPASSWORD";
    app.add_option("--database", options.database, databaseHelp);
    app.add_option("--outbox", outboxDir,
                   "Folder receiving verification mails as .eml files "
                   "(default: <data>/outbox)");
    app.add_option("--smtp", options.smtpUrl,
                   "Send verification mails through this SMTP server instead: "
                   "smtp://HOST[:PORT] (with STARTTLS) or smtps://HOST[:PORT]");
    app.add_option("--smtp-user", options.smtpUser, "User name for the SMTP server's login");
    app.add_option("--smtp-password-file", smtpPasswordFile,
                   "File holding the SMTP password (else the environment's "
                   "KESTRUNE_SMTP_PASSWORD; never on the command line)")
        ->check(CLI::ExistingFile);
    app.add_option("--smtp-ca", options.smtpCaFile,
                   "Certificates (PEM) to trust for the SMTP server instead of the system's")
        ->check(CLI::ExistingFile);
    app.add_option("--mail-from", options.mailFrom, "Sender address of verification mails")
        ->capture_default_str();
    boundedOption(app, "--initial-points", options.initialPoints, "Points given to a new account",
                  std::int64_t{0}, std::int64_t{1000000000});
    boundedOption(app, "--stream-delay-ms", options.streamDelayMs,
                  "Pause between fragments of the built-in models, in milliseconds", 0, 10000);
    app.add_flag("--demo", options.demo,
                 "Create the verified demo account (demo / demo-password-2026) if missing");
    app.add_option(
        "--upstream", options.upstreamUrl,
        "OpenAI-compatible server whose models are offered too, e.g. http://127.0.0.1:8080");
    app.add_option("--upstream-key", options.upstreamKey, "API key for the upstream server")
        ->envname("KESTRUNE_UPSTREAM_KEY");
    boundedOption(app, "--upstream-points", options.upstreamPointsPer100,
                  "Points per 100 characters charged for upstream models", 0, 100000);
    auto* cert = app.add_option("--cert", options.certFile, "TLS certificate (PEM) for HTTPS")
                     ->check(CLI::ExistingFile);
    auto* key = app.add_option("--key", options.keyFile, "TLS private key (PEM) for HTTPS")
                    ->check(CLI::ExistingFile);
    cert->needs(key);
    key->needs(cert);
    boundedOption(app, "--workers", options.workers,
                  "Threads for blocking work (the database); connections, reply streams and "
                  "password hashes hold none",
                  1, 256);
    app.add_option("--max-connections", options.maxConnections,
                   "Open connections in all; when full, the longest idle are closed first and only "
                   "then new ones refused (503) (default: from the open-file limit)")
        ->check(CLI::Range(1, 10000000));
    boundedOption(app, "--max-connections-per-address", options.maxConnectionsPerAddress,
                  "Open connections one client address may hold, on the same terms; a trusted "
                  "proxy has only the limit in all",
                  1, 1000000);
    boundedOption(app, "--idle-timeout", options.idleTimeoutSeconds,
                  "Seconds a connection may wait for the first byte of a request", 1, 3600);
    app.add_option("--trusted-proxy", options.trustedProxies,
                   "ADDRESS/PREFIX of a reverse proxy whose X-Forwarded-For names the client "
                   "(for the per-address limits); without it the header is ignored")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    boundedOption(app, "--max-streams-per-account", options.maxStreamsPerAccount,
                  "Reply streams one account may have open at once; beyond it 429 with a "
                  "Chinese error",
                  1, 1000000);
    boundedOption(app, "--reply-lease", options.replyLeaseSeconds,
                  "Seconds within which the reply slots and points held by an instance that "
                  "stopped without ending its replies are free again; renewed every third of it",
                  3, 3600);
    boundedOption(app, "--drain-notice", options.drainNoticeSeconds,
                  "On SIGTERM, seconds /readyz answers 503 while requests are still served, so "
                  "that load balancers move away first",
                  0, 600);
    boundedOption(app, "--drain", options.drainSeconds,
                  "Then seconds that requests and replies under way have to finish before they "
                  "are ended (told so, not charged); SIGINT or a second SIGTERM stops at once",
                  0, 3600);
    boundedOption(app, "--signups-per-hour", options.signupsPerHour,
                  "Sign-up attempts per hour in all (each client address: at most 20)", 1, 1000000);
    boundedOption(app, "--max-conversations-per-account", options.maxConversationsPerAccount,
                  "Cloud conversations one account may keep (deleted ones count until they "
                  "are removed for good, which happens first when room is needed)",
                  1, 10000000);
    app.add_option("--max-storage-per-account", options.maxStoragePerAccount,
                   "Message text one account may keep, e.g. 100MiB, on the same terms")
        ->default_str("100MiB")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::int64_t{1024}, std::int64_t{1} << 40));

    std::string metricsListen;
    app.add_option("--metrics-listen", metricsListen,
                   "Serve Prometheus metrics on HOST:PORT (path /metrics); keep it off the "
                   "public network");
    std::string stopWhenMissing;
    app.add_option("--stop-when-missing", stopWhenMissing,
                   "Stop once this file or folder no longer exists: for a starter that cannot "
                   "signal the service (a Windows test program under Wine)");

    std::string adminData = defaultDataDir().string();
    std::string adminDatabase;
    const auto targetOptions = [&](CLI::App* command) {
        command->add_option("--data", adminData, "Data folder of the server")
            ->capture_default_str();
        command->add_option("--database", adminDatabase, databaseHelp);
    };
    auto* users = app.add_subcommand("users", "List the accounts with their points");
    targetOptions(users);

    std::string grantUser;
    std::int64_t grantPoints = 0;
    auto* grant = app.add_subcommand(
        "grant", "Add points to an account (a negative number removes points, never below zero)");
    targetOptions(grant);
    grant->add_option("USER", grantUser, "User name or e-mail address")->required();
    grant->add_option("POINTS", grantPoints, "Points to add")->required();

    auto* purge = app.add_subcommand("purge-deleted",
                                     "Remove for good the conversations that users have deleted");
    targetOptions(purge);
    std::string copyTo;
    auto* copy = app.add_subcommand(
        "copy-database", "Copy accounts, conversations and the points ledger into an empty "
                         "database (the source is only read; stop the service first)");
    targetOptions(copy);
    copy->add_option("--to", copyTo, "The database to copy into: postgresql://… or sqlite:PATH")
        ->required();
    auto* migrate = app.add_subcommand(
        "migrate", "Bring the database's schema up to this version (the server does so at start)");
    targetOptions(migrate);

    app.require_subcommand(0, 1);
    CLI11_PARSE(app, argc, argv);

    try {
        const AdminTarget target{adminData, adminDatabase};
        if (*users)
            return adminListUsers(target, std::cout, std::cerr);
        if (*grant)
            return adminGrant(target, grantUser, grantPoints, std::cout, std::cerr);
        if (*purge)
            return adminPurgeDeleted(target, std::cout, std::cerr);
        if (*migrate)
            return adminMigrate(target, std::cout, std::cerr);
        if (*copy)
            return copyDatabase(target, copyTo, std::cout, std::cerr);

        const auto address = parseListen(listen);
        if (!address) {
            std::cerr << "kestrune-server: --listen expects HOST:PORT, got " << listen << "\n";
            return 2;
        }
        if (!options.upstreamUrl.empty() && !parseUpstreamUrl(options.upstreamUrl)) {
            std::cerr << "kestrune-server: --upstream expects an http(s) URL, got "
                      << options.upstreamUrl << "\n";
            return 2;
        }
        if (const std::string mailError = completeMailSettings(options, smtpPasswordFile);
            !mailError.empty()) {
            std::cerr << "kestrune-server: " << mailError << "\n";
            return 2;
        }
        std::string proxyError;
        if (!TrustedProxies::parse(options.trustedProxies, proxyError)) {
            std::cerr << "kestrune-server: " << proxyError << "\n";
            return 2;
        }
        if (!metricsListen.empty()) {
            options.metricsListen = parseListen(metricsListen);
            if (!options.metricsListen) {
                std::cerr << "kestrune-server: --metrics-listen expects HOST:PORT, got "
                          << metricsListen << "\n";
                return 2;
            }
        }
        options.listen = *address;
        options.dataDir = dataDir;
        if (std::string error;
            !options.database.empty() && !parseDatabaseUrl(options.database, &error)) {
            std::cerr << "kestrune-server: --database: " << error << "\n";
            return 2;
        }
        options.outboxDir = outboxDir;
        options.stopWhenMissing = stopWhenMissing;
        return runServer(options);
    } catch (const std::exception& e) {
        std::cerr << "kestrune-server: " << e.what() << "\n";
        return 1;
    }
}

} // namespace kestrune
