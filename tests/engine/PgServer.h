// A throw-away PostgreSQL server for tests: a fresh cluster in a temporary
// folder, listening on a free loopback port only, started on first use and
// stopped when the test program ends.  initdb and pg_ctl refuse to run as
// root, so under root (as in CI) they run as "nobody", who is given the
// folder.  Every step is bounded in time.
//
//   auto& server = kvo::testing::PgServer::Shared();
//   std::string conn = server.ConnectionString(server.NewSchema());
//
// Each NewSchema() is an empty schema of the one database, so tests do not
// see each other's tables; the connection string puts it first on the
// search path.
#pragma once

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace kvo::testing {

class PgServer {
  public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

    static PgServer& Shared() {
        static PgServer server;
        return server;
    }

    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    ~PgServer() {
        // Forked children of a test inherit this object; only the process
        // that started the server stops it.
        if (::getpid() == owner_) Stop();
    }

    int Port() const { return port_; }
    const std::string& Folder() const { return folder_; }

    // A libpq connection string for the test database, with `schema` (if
    // any) first on the search path.
    std::string ConnectionString(const std::string& schema = "",
                                 const std::string& database = "kvo") const {
        std::string s = "host=127.0.0.1 port=" + std::to_string(port_) +
                        " user=kvo connect_timeout=10 dbname=" + database;
        if (!schema.empty()) s += " options='-csearch_path=" + schema + "'";
        return s;
    }

    // A new empty schema; its name.
    std::string NewSchema() {
        const std::string name =
            "t" + std::to_string(::getpid()) + "_" + std::to_string(++schemas_);
        Sql("CREATE SCHEMA " + name);
        return name;
    }

    // Runs statements as the superuser; throws with the server's message.
    void Sql(const std::string& sql, const std::string& database = "kvo") const {
        PGconn* conn = PQconnectdb(ConnectionString("", database).c_str());
        std::string error;
        if (PQstatus(conn) != CONNECTION_OK) {
            error = PQerrorMessage(conn);
        } else {
            PGresult* r = PQexec(conn, sql.c_str());
            if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
                error = PQresultErrorMessage(r);
            PQclear(r);
        }
        PQfinish(conn);
        if (!error.empty()) throw std::runtime_error("test server: " + error);
    }

  private:
    PgServer() : owner_(::getpid()) {
        char pattern[] = "/tmp/kvo-pg-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("test server: no folder");
        folder_ = pattern;
        asRoot_ = ::geteuid() == 0;
        if (asRoot_) Run("chown nobody: " + folder_, true);
        Run("timeout 120 " + As() + kBin + "/initdb -D " + Data() +
                " -U kvo -A trust -E UTF8 --locale=C --no-sync >" + folder_ + "/initdb.log 2>&1",
            true);
        // A free port can be taken by someone else before the server binds
        // it; a few tries make that harmless.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreePort();
            const std::string options = "-p " + std::to_string(port_) + " -k " + folder_ +
                                        " -c listen_addresses=127.0.0.1 -c fsync=off"
                                        " -c synchronous_commit=off -c full_page_writes=off"
                                        " -c max_connections=60";
            if (Run("timeout 60 " + As() + kBin + "/pg_ctl -D " + Data() + " -l " + folder_ +
                    "/server.log -o '" + options + "' -w -t 30 start >/dev/null 2>&1")) {
                try {
                    Sql("CREATE DATABASE kvo", "postgres");
                } catch (...) {
                    Stop();
                    throw;
                }
                return;
            }
        }
        throw std::runtime_error("test server: PostgreSQL did not start; see " + folder_ +
                                 "/server.log");
    }

    void Stop() const {
        Run("timeout 60 " + As() + kBin + "/pg_ctl -D " + Data() +
            " -m immediate -w -t 30 stop >/dev/null 2>&1");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::string Data() const { return folder_ + "/data"; }
    std::string As() const { return asRoot_ ? "runuser -u nobody -- " : ""; }

    bool Run(const std::string& command, bool required = false) const {
        const bool ok = std::system(command.c_str()) == 0;
        if (!ok && required) throw std::runtime_error("test server: failed: " + command);
        return ok;
    }

    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        ::close(fd);
        if (port == 0) throw std::runtime_error("test server: no free loopback port");
        return port;
    }

    pid_t owner_;
    std::string folder_;
    bool asRoot_ = false;
    int port_ = 0;
    int schemas_ = 0;
};

}  // namespace kvo::testing
