// vorel-param: the operator's command for parameters of a venue.
//
//   vorel-param (--db CONNINFO | --file PATH) (--terminal ID | --group NAME | --global)
//               get NAME | set NAME VALUE [--caption TEXT] [--description TEXT]
//               | delete NAME | list [PREFIX] | watch NAME [--count N]
//
// --db takes a libpq connection string (keywords, URI or "service=..."), as
// the terminals do; --file a terminal's SQLite file. get prints the value of
// exactly that domain; watch (server only) prints "<domain> <name> = <value>"
// for each change of the name in that domain, or "<domain> <name> deleted".
// Exit status: 0 done, 1 no such parameter, 2 bad input, 3 the server or file
// cannot be used.
#include "PgParamStore.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum Exit { EXIT_DONE = 0, EXIT_MISSING = 1, EXIT_USAGE = 2, EXIT_UNREACHABLE = 3 };

struct Options {
    std::string db, file, domain, command, name, value, caption, description;
    long count = -1;
    bool hasValue = false;
};

int Usage(const char* why)
{
    std::fprintf(stderr, "vorel-param: %s\n", why);
    std::fprintf(stderr, "usage: vorel-param (--db CONNINFO | --file PATH) (--terminal ID | --group NAME | --global)\n"
                         "       get NAME | set NAME VALUE [--caption TEXT] [--description TEXT] | delete NAME\n"
                         "       | list [PREFIX] | watch NAME [--count N]\n");
    return EXIT_USAGE;
}

// "" when the options make sense; otherwise why not.
std::string Parse(int argc, char** argv, Options& o)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string count;
        if (a == "--db") {
            if (!next(o.db))
                return "--db needs a connection string";
        } else if (a == "--file") {
            if (!next(o.file))
                return "--file needs a path";
        } else if (a == "--terminal") {
            if (!next(o.domain) || o.domain.find('_') == std::string::npos)
                return "--terminal needs a client ID such as T1_3";
        } else if (a == "--group") {
            if (!next(o.domain) || o.domain.empty() || o.domain.find('_') != std::string::npos ||
                o.domain == "GLOBAL")
                return "--group needs a group name without \"_\"";
        } else if (a == "--global") {
            o.domain = "GLOBAL";
        } else if (a == "--caption") {
            if (!next(o.caption))
                return "--caption needs a text";
        } else if (a == "--description") {
            if (!next(o.description))
                return "--description needs a text";
        } else if (a == "--count") {
            char* end = nullptr;
            if (!next(count) || (o.count = std::strtol(count.c_str(), &end, 10)) <= 0 || *end)
                return "--count needs a positive number";
        } else if (a.rfind("--", 0) == 0) {
            return "unknown option " + a;
        } else {
            words.push_back(a);
        }
    }
    if (o.db.empty() == o.file.empty())
        return "give exactly one of --db and --file";
    if (o.domain.empty())
        return "give one of --terminal, --group and --global";
    if (words.empty())
        return "no command";
    o.command = words[0];
    const std::size_t want = o.command == "set" ? 3 : o.command == "list" ? words.size() : 2;
    if (o.command != "get" && o.command != "set" && o.command != "delete" && o.command != "list" &&
        o.command != "watch")
        return "unknown command " + o.command;
    if (words.size() != want || (o.command == "list" && words.size() > 2))
        return "wrong number of arguments for " + o.command;
    if (words.size() > 1)
        o.name = words[1];
    if (words.size() > 2) {
        o.value = words[2];
        o.hasValue = true;
    }
    if (o.command == "watch" && o.db.empty())
        return "watch needs a server (--db)";
    if (o.command != "list") {
        const std::string why = PgParamStore::Refusal(o.domain, o.name, o.value + o.caption + o.description);
        if (!why.empty())
            return why;
    }
    return "";
}

// ---------------------------------------------------------------- server

class Server {
public:
    ~Server() { PQfinish(mConn); }

    bool Connect(const std::string& conninfo)
    {
        mConn = PQconnectdb(conninfo.c_str());
        if (PQstatus(mConn) != CONNECTION_OK) {
            std::fprintf(stderr, "vorel-param: cannot reach the server: %s", PQerrorMessage(mConn));
            return false;
        }
        const std::string error = PgParamStore::EnsureSchema(mConn);
        if (!error.empty()) {
            std::fprintf(stderr, "vorel-param: the server's schema cannot be used: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    PGresult* Run(const char* sql, const std::vector<std::string>& params)
    {
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (const std::string& p : params) {
            values.push_back(p.c_str());
            lengths.push_back(static_cast<int>(p.size()));
            formats.push_back(0);
        }
        PGresult* r = PQexecParams(mConn, sql, static_cast<int>(params.size()), nullptr, values.data(),
                                   lengths.data(), formats.data(), 0);
        const ExecStatusType s = PQresultStatus(r);
        if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) {
            std::fprintf(stderr, "vorel-param: the server refused: %s", PQresultErrorMessage(r));
            PQclear(r);
            return nullptr;
        }
        return r;
    }

    pg_conn* mConn = nullptr;
};

std::string Text(PGresult* r, int row, int col)
{
    return std::string(PQgetvalue(r, row, col), static_cast<std::size_t>(PQgetlength(r, row, col)));
}

int ServerCommand(const Options& o)
{
    Server s;
    if (!s.Connect(o.db))
        return EXIT_UNREACHABLE;
    if (o.command == "get" || o.command == "list") {
        const bool one = o.command == "get";
        PGresult* r = one ? s.Run("SELECT name, value FROM vorel_param WHERE domain = $1 AND name = $2",
                                  {o.domain, o.name})
                          : s.Run("SELECT name, value FROM vorel_param WHERE domain = $1"
                                  " AND left(name, length($2)) = $2 ORDER BY name",
                                  {o.domain, o.name});
        if (!r)
            return EXIT_UNREACHABLE;
        const int rows = PQntuples(r);
        for (int i = 0; i < rows; ++i) {
            if (one)
                std::printf("%s\n", Text(r, i, 1).c_str());
            else
                std::printf("%s = %s\n", Text(r, i, 0).c_str(), Text(r, i, 1).c_str());
        }
        PQclear(r);
        if (one && rows == 0) {
            std::fprintf(stderr, "vorel-param: no parameter '%s' in %s\n", o.name.c_str(), o.domain.c_str());
            return EXIT_MISSING;
        }
        return EXIT_DONE;
    }
    if (o.command == "set") {
        PGresult* r = s.Run("INSERT INTO vorel_param (domain, name, value, caption, description, changed)"
                            " VALUES ($1, $2, $3, $4, $5, clock_timestamp()) ON CONFLICT (domain, name) DO UPDATE"
                            " SET value = EXCLUDED.value, caption = CASE WHEN $4 = '' THEN vorel_param.caption"
                            " ELSE EXCLUDED.caption END, description = CASE WHEN $5 = '' THEN"
                            " vorel_param.description ELSE EXCLUDED.description END, changed = EXCLUDED.changed",
                            {o.domain, o.name, o.value, o.caption, o.description});
        if (!r)
            return EXIT_UNREACHABLE;
        PQclear(r);
        return EXIT_DONE;
    }
    if (o.command == "delete") {
        PGresult* r = s.Run("DELETE FROM vorel_param WHERE domain = $1 AND name = $2", {o.domain, o.name});
        if (!r)
            return EXIT_UNREACHABLE;
        const bool gone = std::atoi(PQcmdTuples(r)) > 0;
        PQclear(r);
        if (!gone) {
            std::fprintf(stderr, "vorel-param: no parameter '%s' in %s\n", o.name.c_str(), o.domain.c_str());
            return EXIT_MISSING;
        }
        return EXIT_DONE;
    }
    // watch
    PGresult* c = s.Run("SELECT 'vp_' || md5($1)", {o.domain});
    if (!c)
        return EXIT_UNREACHABLE;
    const std::string channel = Text(c, 0, 0);
    PQclear(c);
    char* quoted = PQescapeIdentifier(s.mConn, channel.c_str(), channel.size());
    PGresult* l = PQexec(s.mConn, ("LISTEN " + std::string(quoted)).c_str());
    PQfreemem(quoted);
    const bool listening = PQresultStatus(l) == PGRES_COMMAND_OK;
    PQclear(l);
    if (!listening)
        return EXIT_UNREACHABLE;
    std::printf("watching %s %s\n", o.domain.c_str(), o.name.c_str());
    std::fflush(stdout);
    for (long seen = 0; o.count < 0 || seen < o.count;) {
        pollfd fd{PQsocket(s.mConn), POLLIN, 0};
        if (::poll(&fd, 1, -1) < 0 || !PQconsumeInput(s.mConn)) {
            std::fprintf(stderr, "vorel-param: lost the server: %s", PQerrorMessage(s.mConn));
            return EXIT_UNREACHABLE;
        }
        while (PGnotify* n = PQnotifies(s.mConn)) {
            const std::string text = n->extra;
            PQfreemem(n);
            if (text != o.domain + "\n" + o.name)
                continue;
            PGresult* r = s.Run("SELECT value FROM vorel_param WHERE domain = $1 AND name = $2", {o.domain, o.name});
            if (!r)
                return EXIT_UNREACHABLE;
            if (PQntuples(r) > 0)
                std::printf("%s %s = %s\n", o.domain.c_str(), o.name.c_str(), Text(r, 0, 0).c_str());
            else
                std::printf("%s %s deleted\n", o.domain.c_str(), o.name.c_str());
            PQclear(r);
            std::fflush(stdout);
            ++seen;
        }
    }
    return EXIT_DONE;
}

// ------------------------------------------------------------------ file

int FileCommand(const Options& o)
{
    sqlite3* db = nullptr;
    const int flags = o.command == "set" || o.command == "delete" ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(o.file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "vorel-param: cannot open %s: %s\n", o.file.c_str(), sqlite3_errmsg(db));
        sqlite3_close(db);
        return EXIT_UNREACHABLE;
    }
    sqlite3_busy_timeout(db, 5000);
    const char* sql = o.command == "get"      ? "SELECT name, value FROM params WHERE domain = ?1 AND name = ?2"
                      : o.command == "list"   ? "SELECT name, value FROM params WHERE domain = ?1"
                                                " AND substr(name, 1, length(?2)) = ?2 ORDER BY name"
                      : o.command == "delete" ? "DELETE FROM params WHERE domain = ?1 AND name = ?2"
                                              : "INSERT INTO params (domain, name, value, caption, description,"
                                                " restrictions, limits) VALUES (?1, ?2, ?3, ?4, ?5, 0, '')"
                                                " ON CONFLICT (domain, name) DO UPDATE SET value = excluded.value,"
                                                " caption = CASE WHEN ?4 = '' THEN caption ELSE excluded.caption END,"
                                                " description = CASE WHEN ?5 = '' THEN description"
                                                " ELSE excluded.description END";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "vorel-param: %s is no parameter file: %s\n", o.file.c_str(), sqlite3_errmsg(db));
        sqlite3_close(db);
        return EXIT_UNREACHABLE;
    }
    int index = 1;
    for (const std::string* s : {&o.domain, &o.name, &o.value, &o.caption, &o.description})
        if (index <= sqlite3_bind_parameter_count(st)) {
            sqlite3_bind_text(st, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
            ++index;
        }
    int rows = 0, rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ++rows;
        const std::string name(static_cast<const char*>(sqlite3_column_blob(st, 0)),
                               static_cast<std::size_t>(sqlite3_column_bytes(st, 0)));
        const void* v = sqlite3_column_blob(st, 1);
        const std::string value(v ? static_cast<const char*>(v) : "",
                                static_cast<std::size_t>(sqlite3_column_bytes(st, 1)));
        if (o.command == "get")
            std::printf("%s\n", value.c_str());
        else
            std::printf("%s = %s\n", name.c_str(), value.c_str());
    }
    int result = EXIT_DONE;
    if (rc != SQLITE_DONE) {
        std::fprintf(stderr, "vorel-param: %s: %s\n", o.file.c_str(), sqlite3_errmsg(db));
        result = EXIT_UNREACHABLE;
    } else if ((o.command == "get" && rows == 0) || (o.command == "delete" && sqlite3_changes(db) == 0)) {
        std::fprintf(stderr, "vorel-param: no parameter '%s' in %s\n", o.name.c_str(), o.domain.c_str());
        result = EXIT_MISSING;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    const std::string why = Parse(argc, argv, o);
    if (!why.empty())
        return Usage(why.c_str());
    return o.db.empty() ? FileCommand(o) : ServerCommand(o);
}
