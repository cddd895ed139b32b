#include "station/StationDb.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <vector>

#include "station/StationPlan.h"
#include "station/StationReports.h"

namespace station {

namespace {

using Param = std::optional<std::string>;  // nullopt: SQL NULL
using Rows = std::vector<std::vector<Param>>;

// The one schema, written for both stores: only the key column differs.
const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS runs (id @KEY@, station TEXT NOT NULL, plan_path TEXT NOT NULL,"
    " plan_hash TEXT NOT NULL, started_at TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL,"
    " interrupted INTEGER NOT NULL, passed INTEGER NOT NULL, plan_name TEXT NOT NULL DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS cameras (id @KEY@, run_id BIGINT NOT NULL REFERENCES runs(id),"
    " position INTEGER NOT NULL, port TEXT NOT NULL, device TEXT NOT NULL,"
    " adapter_serial TEXT NOT NULL, baud INTEGER NOT NULL, version TEXT NOT NULL,"
    " serial_written TEXT NOT NULL, profile_hash TEXT NOT NULL, picture TEXT NOT NULL,"
    " passed INTEGER NOT NULL, started_at TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL,"
    " width INTEGER, height INTEGER, mean_luma DOUBLE PRECISION, min_luma INTEGER,"
    " max_luma INTEGER, luma_spread DOUBLE PRECISION, clipped_black DOUBLE PRECISION,"
    " clipped_white DOUBLE PRECISION, sharpness DOUBLE PRECISION, uniform INTEGER,"
    " mean_red DOUBLE PRECISION, mean_green DOUBLE PRECISION, mean_blue DOUBLE PRECISION,"
    " unit TEXT NOT NULL DEFAULT '', unit_source TEXT NOT NULL DEFAULT '',"
    " attempt INTEGER NOT NULL DEFAULT 1, marginal INTEGER NOT NULL DEFAULT 0,"
    " interrupted INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS steps (camera_id BIGINT NOT NULL REFERENCES cameras(id),"
    " position INTEGER NOT NULL, name TEXT NOT NULL, result TEXT NOT NULL,"
    " status INTEGER NOT NULL, message TEXT NOT NULL, log TEXT NOT NULL,"
    " seconds DOUBLE PRECISION NOT NULL, step INTEGER NOT NULL DEFAULT 0,"
    " attempt INTEGER NOT NULL DEFAULT 1, picture TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX IF NOT EXISTS cameras_adapter_serial ON cameras (adapter_serial)",
    "CREATE INDEX IF NOT EXISTS cameras_serial_written ON cameras (serial_written)",
};

// New in version 2, made in a new store and in a migrated one alike.
const char* const kSchemaV2[] = {
    "CREATE TABLE IF NOT EXISTS measurements (camera_id BIGINT NOT NULL REFERENCES cameras(id),"
    " step INTEGER NOT NULL, step_name TEXT NOT NULL, attempt INTEGER NOT NULL,"
    " name TEXT NOT NULL, value DOUBLE PRECISION, not_measured TEXT NOT NULL, unit TEXT NOT NULL,"
    " low DOUBLE PRECISION, high DOUBLE PRECISION, marginal_low DOUBLE PRECISION,"
    " marginal_high DOUBLE PRECISION, outcome TEXT NOT NULL, limit_text TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS unit_counters (plan TEXT PRIMARY KEY, next_number BIGINT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS cameras_run ON cameras (run_id)",
    "CREATE INDEX IF NOT EXISTS cameras_unit ON cameras (unit)",
    "CREATE INDEX IF NOT EXISTS steps_camera ON steps (camera_id)",
    "CREATE INDEX IF NOT EXISTS measurements_camera ON measurements (camera_id)",
    "CREATE INDEX IF NOT EXISTS runs_plan ON runs (plan_name, started_at)",
};

// Version 1 to 2: the columns version 2 added to the tables version 1 had. The old rows
// keep what they knew: a unit is the serial number its run wrote, its attempt the first.
const char* const kMigrateV1[] = {
    "ALTER TABLE runs ADD COLUMN plan_name TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE cameras ADD COLUMN unit TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE cameras ADD COLUMN unit_source TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE cameras ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1",
    "ALTER TABLE cameras ADD COLUMN marginal INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE cameras ADD COLUMN interrupted INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE steps ADD COLUMN step INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE steps ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1",
    "ALTER TABLE steps ADD COLUMN picture TEXT NOT NULL DEFAULT ''",
    // Version 1 kept one record per step, in the plan's order.
    "UPDATE steps SET step = position",
    "UPDATE cameras SET unit = serial_written, unit_source = 'given' WHERE serial_written <> ''",
    "UPDATE cameras SET interrupted = 1 WHERE run_id IN (SELECT id FROM runs WHERE interrupted <> 0)"
    " AND passed = 0",
};

std::string Num(double v) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : "0";
}
std::string Num(long long v) { return std::to_string(v); }
std::string Flag(bool v) { return v ? "1" : "0"; }

using Clock = std::chrono::steady_clock;

long long Seconds(std::chrono::milliseconds ms) { return (ms.count() + 999) / 1000; }

// Waits until fd is ready for events, the interrupt fires or the deadline passes.
enum class Waited { Ready, Interrupted, TimedOut, Failed };
Waited WaitFor(int fd, short events, const CStoreInterrupt* interrupt, Clock::time_point deadline) {
  for (;;) {
    if (interrupt && interrupt->Interrupted()) return Waited::Interrupted;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Waited::TimedOut;
    pollfd fds[2] = {{fd, events, 0}, {interrupt ? interrupt->WakeFd() : -1, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 60000)));
    if (n < 0 && errno != EINTR) return Waited::Failed;
    if (n > 0 && fds[0].revents) return Waited::Ready;
  }
}

// One connection; statements are written with ?1, ?2 ... and bound, never spliced.
class Store {
 public:
  explicit Store(const CStoreInterrupt* interrupt) : m_interrupt(interrupt) {}
  virtual ~Store() = default;
  // Runs sql with params; the first column of the first row, if any, into *value. After an
  // interrupt nothing more is run: the open transaction goes with the connection.
  bool Exec(const std::string& sql, const std::vector<Param>& params,
            std::string* value = nullptr) {
    if (Interrupted()) return false;
    return Run(sql, params, value, nullptr);
  }
  // Every row of the answer, each column as text (nullopt: NULL).
  bool Query(const std::string& sql, const std::vector<Param>& params, Rows& rows) {
    rows.clear();
    if (Interrupted()) return false;
    return Run(sql, params, nullptr, &rows);
  }
  bool Interrupted() const { return m_interrupt && m_interrupt->Interrupted(); }
  std::string Reason() const { return Interrupted() ? "interrupted" : Error(); }

  virtual std::string KeyColumn() const = 0;
  // Taken at the start of a transaction, so stations creating the schema at once don't race.
  virtual bool LockSchema() { return true; }
  virtual const char* Begin() const { return "BEGIN"; }

 protected:
  virtual bool Run(const std::string& sql, const std::vector<Param>& params, std::string* value,
                   Rows* rows) = 0;
  virtual std::string Error() const = 0;
  const CStoreInterrupt* m_interrupt;
};

class SqliteStore : public Store {
 public:
  SqliteStore(const std::string& path, const CStoreInterrupt* interrupt, const StoreLimits& limits)
      : Store(interrupt), m_busyLimit(limits.busy) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) ==
        SQLITE_OK) {
      // Stations sharing a file on one machine wait for each other instead of failing, in
      // short steps a Ctrl+C ends (sqlite3_busy_timeout's sleep would not).
      sqlite3_busy_handler(m_db, &SqliteStore::Busy, this);
      m_ok = Exec("PRAGMA foreign_keys = ON", {});
    }
  }
  ~SqliteStore() override { sqlite3_close(m_db); }
  bool Opened() const { return m_ok; }

  bool Run(const std::string& sql, const std::vector<Param>& params, std::string* value,
           Rows* rows) override {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return false;
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, sqlite3_finalize);
    for (size_t i = 0; i < params.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      const int rc = params[i] ? sqlite3_bind_text(stmt, index, params[i]->data(),
                                                   static_cast<int>(params[i]->size()),
                                                   SQLITE_TRANSIENT)
                               : sqlite3_bind_null(stmt, index);
      if (rc != SQLITE_OK) return false;
    }
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW && value) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      *value = text ? reinterpret_cast<const char*>(text) : "";
    }
    for (; rc == SQLITE_ROW; rc = sqlite3_step(stmt)) {
      if (!rows) continue;
      std::vector<Param>& row = rows->emplace_back();
      for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row.push_back(text ? Param(reinterpret_cast<const char*>(text)) : std::nullopt);
      }
    }
    return rc == SQLITE_DONE;
  }
  std::string Error() const override { return m_db ? sqlite3_errmsg(m_db) : "out of memory"; }
  std::string KeyColumn() const override { return "INTEGER PRIMARY KEY"; }
  const char* Begin() const override { return "BEGIN IMMEDIATE"; }

 private:
  // SQLite asks again after each wait; 0 gives up (the statement fails as busy).
  static int Busy(void* context, int count) {
    auto& self = *static_cast<SqliteStore*>(context);
    if (count == 0) self.m_busySince = Clock::now();
    const auto deadline = self.m_busySince + self.m_busyLimit;
    if (self.Interrupted() || Clock::now() >= deadline) return 0;
    // Short steps: a station holds the lock for a few milliseconds (its commit's syncs),
    // and a rack of window tiles, a process each, takes it at once at their start and end.
    // Waits growing to 100 ms left the lock free while its waiters slept.
    constexpr int kStepsMs[] = {1, 2, 3, 5, 8, 10};
    const auto step = std::chrono::milliseconds(kStepsMs[std::min<size_t>(count, std::size(kStepsMs) - 1)]);
    const Waited waited = WaitFor(-1, 0, self.m_interrupt, std::min(deadline, Clock::now() + step));
    return waited == Waited::Interrupted ? 0 : 1;
  }

  sqlite3* m_db = nullptr;
  bool m_ok = false;
  std::chrono::milliseconds m_busyLimit;
  Clock::time_point m_busySince;
};

// libpq driven without blocking: every wait is a poll() on the server's socket and the
// interrupt, with a deadline, so neither a mute server nor a held lock keeps the station.
class PostgresStore : public Store {
 public:
  PostgresStore(const std::string& target, const CStoreInterrupt* interrupt, const StoreLimits& limits)
      : Store(interrupt), m_statement(limits.statement) {
    // The target as libpq's dbname with expand_dbname: a URI or a key=value string alike.
    const char* keys[] = {"dbname", nullptr};
    const char* values[] = {target.c_str(), nullptr};
    m_conn = PQconnectStartParams(keys, values, 1);
    if (!m_conn) return;
    // NOTICE lines ("relation ... already exists, skipping") are the server talking to
    // itself; they must not reach the station's stderr.
    PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);
    if (PQstatus(m_conn) == CONNECTION_BAD) return;
    // libpq leaves connect_timeout to whoever polls; it is honoured here as PQconnectdb
    // would (at least 2 s), over the whole connection rather than per host.
    std::chrono::milliseconds bound = limits.connect;
    if (PQconninfoOption* in = PQconninfo(m_conn)) {
      for (PQconninfoOption* o = in; o->keyword; ++o)
        if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val) {
          const std::string text = o->val;
          int seconds = 0;
          const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
          if (ec == std::errc() && end == text.data() + text.size() && seconds > 0)
            bound = std::chrono::seconds(std::max(seconds, 2));
        }
      PQconninfoFree(in);
    }
    const auto deadline = Clock::now() + bound;
    for (PostgresPollingStatusType state = PGRES_POLLING_WRITING; state != PGRES_POLLING_OK;
         state = PQconnectPoll(m_conn)) {
      if (state == PGRES_POLLING_FAILED) return;
      const Waited waited = WaitFor(PQsocket(m_conn), state == PGRES_POLLING_READING ? POLLIN : POLLOUT,
                                    m_interrupt, deadline);
      if (waited != Waited::Ready) {
        Abandon(waited, "the server did not let this station in within " +
                            std::to_string(Seconds(bound)) + " s");
        return;
      }
    }
    if (PQsetnonblocking(m_conn, 1) != 0) return;
    // The server ends a statement itself after statement_timeout, and (PostgreSQL 14 on)
    // notices a station that went away while it waited.
    std::string limitsSql = "SET statement_timeout = " + std::to_string(m_statement.count());
    if (PQserverVersion(m_conn) >= 140000) limitsSql += "; SET client_connection_check_interval = 1000";
    m_ok = Send(PQsendQuery(m_conn, limitsSql.c_str()), nullptr, nullptr);
  }
  ~PostgresStore() override { PQfinish(m_conn); }
  bool Opened() const { return m_ok; }

  bool Run(const std::string& sql, const std::vector<Param>& params, std::string* value,
           Rows* rows) override {
    if (!m_ok) return false;
    std::vector<const char*> values;
    for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
    return Send(PQsendQueryParams(m_conn, Dollars(sql).c_str(), static_cast<int>(values.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0),
                value, rows);
  }
  std::string Error() const override {
    if (!m_reason.empty()) return m_reason;
    std::string text = m_conn ? PQerrorMessage(m_conn) : "out of memory";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }
  std::string KeyColumn() const override { return "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"; }
  bool LockSchema() override {
    // Any fixed number: the stations of one database agree on it.
    return Exec("SELECT pg_advisory_xact_lock(4243520617)", {}, nullptr);
  }

 private:
  // The rest of a query sent with PQsend*: flushes it and collects every result. The first
  // column of the first row goes to *value.
  bool Send(int sent, std::string* value, Rows* rows) {
    if (!sent) return false;
    // The server's own statement_timeout answers first; this is for one that says nothing.
    const auto deadline = Clock::now() + m_statement + std::chrono::seconds(5);
    const auto wait = [&](short events) {
      const Waited waited = WaitFor(PQsocket(m_conn), events, m_interrupt, deadline);
      if (waited == Waited::Ready) return true;
      Abandon(waited, "the server gave no answer within " +
                          std::to_string(Seconds(m_statement) + 5) + " s");
      return false;
    };
    for (int flushed; (flushed = PQflush(m_conn)) != 0;) {
      if (flushed < 0 || !wait(POLLIN | POLLOUT)) return false;
      if (!PQconsumeInput(m_conn)) return false;
    }
    bool ok = true;
    bool first = true;
    for (;;) {
      while (PQisBusy(m_conn)) {
        if (!wait(POLLIN) || !PQconsumeInput(m_conn)) return false;
      }
      PGresult* result = PQgetResult(m_conn);
      if (!result) break;
      const ExecStatusType status = PQresultStatus(result);
      ok = ok && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
      if (first && value && status == PGRES_TUPLES_OK && PQntuples(result) > 0)
        *value = PQgetvalue(result, 0, 0);
      if (first && rows && status == PGRES_TUPLES_OK) {
        for (int r = 0, n = PQntuples(result); r < n; ++r) {
          std::vector<Param>& row = rows->emplace_back();
          for (int c = 0, m = PQnfields(result); c < m; ++c)
            row.push_back(PQgetisnull(result, r, c) ? std::nullopt : Param(PQgetvalue(result, r, c)));
        }
      }
      first = false;
      PQclear(result);
    }
    return ok;
  }
  // A wait that did not end in an answer leaves the connection mid-exchange: it is no longer
  // used, and closing it makes the server roll back. (PQcancel would open a connection of
  // its own and wait for the server without a bound.)
  void Abandon(Waited waited, const std::string& timedOut) {
    m_ok = false;
    m_reason = waited == Waited::Interrupted ? "interrupted"
               : waited == Waited::TimedOut  ? timedOut
                                             : std::string("poll: ") + std::strerror(errno);
  }
  // libpq numbers its parameters $1, $2 ...
  static std::string Dollars(const std::string& sql) {
    std::string out;
    for (char c : sql) out += c == '?' ? '$' : c;
    return out;
  }

  PGconn* m_conn = nullptr;
  bool m_ok = false;
  std::chrono::milliseconds m_statement;
  std::string m_reason;  // why a wait was given up
};

bool Fail(std::string& error, const std::string& what, const std::string& target, const Store& store) {
  error = what + " results database " + RedactedTarget(target) + ": " +
          RedactedMessage(store.Reason(), target);
  return false;
}

// A schema version as the store holds it: a whole number from 1 up, nothing else ("abc",
// "1e23", "-1" or one too large for the program are not read as some other number).
std::optional<long long> SchemaVersion(const std::string& text) {
  long long version = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, version);
  if (text.empty() || ec != std::errc() || stop != end || version < 1) return std::nullopt;
  return version;
}

bool ExecAll(Store& store, const char* const* statements, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    std::string sql = statements[i];
    for (size_t at; (at = sql.find("@KEY@")) != std::string::npos;) sql.replace(at, 5, store.KeyColumn());
    if (!store.Exec(sql, {})) return false;
  }
  return true;
}

// The name a version 1 run's plan goes by: its file's, without the folder and ".toml".
bool NameMigratedPlans(Store& store) {
  Rows rows;
  if (!store.Query("SELECT DISTINCT plan_path FROM runs WHERE plan_name = ''", {}, rows)) return false;
  for (const auto& row : rows)
    if (row[0] && !store.Exec("UPDATE runs SET plan_name = ?1 WHERE plan_path = ?2 AND plan_name = ''",
                              {PlanName(*row[0]), *row[0]}))
      return false;
  return true;
}

// Brings the store to this program's schema inside the caller's transaction: made where
// missing, a version 1 store migrated in place, a newer or unreadable one refused untouched.
bool EnsureSchema(Store& store, std::string& why) {
  if (!store.Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {}))
    return false;
  std::string text;
  if (!store.Exec("SELECT MAX(version) FROM schema_version", {}, &text)) return false;
  if (text.empty()) {
    return ExecAll(store, kSchema, std::size(kSchema)) &&
           ExecAll(store, kSchemaV2, std::size(kSchemaV2)) &&
           store.Exec("INSERT INTO schema_version (version) VALUES (?1)",
                      {Num(static_cast<long long>(kStationDbSchemaVersion))});
  }
  const std::optional<long long> version = SchemaVersion(text);
  if (!version) {
    why = "its schema_version holds '" + ValidUtf8(text.substr(0, 40)) +
          "', not a version this program can read; it is left untouched";
    return false;
  }
  if (*version > kStationDbSchemaVersion) {
    why = "its schema version " + text + " is newer than this program's (" +
          std::to_string(kStationDbSchemaVersion) + ")";
    return false;
  }
  if (*version == 1)
    return ExecAll(store, kMigrateV1, std::size(kMigrateV1)) &&
           ExecAll(store, kSchemaV2, std::size(kSchemaV2)) && NameMigratedPlans(store) &&
           store.Exec("UPDATE schema_version SET version = 2", {});
  return true;
}

const char* UnitSourceName(UnitSource source) {
  return source == UnitSource::Given ? "given" : source == UnitSource::Counter ? "counter" : "";
}

const char* StepResultName(const StepRecord& s) {
  return s.skipped ? "skipped" : !s.passed ? "fail" : s.marginal ? "marginal" : "pass";
}

bool WriteCamera(Store& store, const std::string& runId, size_t position, const CameraRecord& c) {
  const bool m = c.figures && c.figures->measured;
  const PictureFigures f = m ? *c.figures : PictureFigures{};
  const auto fig = [m](const std::string& v) { return m ? Param(v) : Param(); };
  std::string cameraId;
  if (!store.Exec(
          "INSERT INTO cameras (run_id, position, port, device, adapter_serial, baud, version,"
          " serial_written, profile_hash, picture, passed, started_at, seconds, width, height,"
          " mean_luma, min_luma, max_luma, luma_spread, clipped_black, clipped_white, sharpness,"
          " uniform, mean_red, mean_green, mean_blue, unit, unit_source, attempt, marginal,"
          " interrupted) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14,"
          " ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29, ?30, ?31)"
          " RETURNING id",
          {runId, Num(static_cast<long long>(position)), ValidUtf8(c.port), ValidUtf8(c.device),
           ValidUtf8(c.adapterSerial), Num(static_cast<long long>(c.baud)), ValidUtf8(c.version),
           ValidUtf8(c.serialWritten), ValidUtf8(c.profileHash), ValidUtf8(c.picturePath),
           Flag(c.passed), c.startedAt, Num(c.seconds), fig(Num(static_cast<long long>(f.width))),
           fig(Num(static_cast<long long>(f.height))), fig(Num(f.meanLuma)),
           fig(Num(static_cast<long long>(f.minLuma))), fig(Num(static_cast<long long>(f.maxLuma))),
           fig(Num(f.lumaSpread)), fig(Num(f.clippedBlack)), fig(Num(f.clippedWhite)),
           fig(Num(f.sharpness)), fig(Flag(f.uniform)), fig(Num(f.meanRed)), fig(Num(f.meanGreen)),
           fig(Num(f.meanBlue)), ValidUtf8(c.unit), UnitSourceName(c.unitSource),
           Num(static_cast<long long>(c.attempt)), Flag(c.marginal), Flag(c.interrupted)},
          &cameraId))
    return false;
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const StepRecord& s = c.steps[i];
    std::string log;
    for (const std::string& line : s.log) log += line + "\n";
    if (!store.Exec("INSERT INTO steps (camera_id, position, name, result, status, message, log,"
                    " seconds, step, attempt, picture) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9,"
                    " ?10, ?11)",
                    {cameraId, Num(static_cast<long long>(i)), s.name, StepResultName(s),
                     Num(static_cast<long long>(s.status)), ValidUtf8(s.message), ValidUtf8(log),
                     Num(s.seconds), Num(static_cast<long long>(s.index)),
                     Num(static_cast<long long>(s.attempt)), ValidUtf8(s.picturePath)}))
      return false;
  }
  const auto limit = [](const std::optional<double>& v) { return v ? Param(Num(*v)) : Param(); };
  for (const Measurement& m : c.measurements)
    if (!store.Exec("INSERT INTO measurements (camera_id, step, step_name, attempt, name, value,"
                    " not_measured, unit, low, high, marginal_low, marginal_high, outcome,"
                    " limit_text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)",
                    {cameraId, Num(static_cast<long long>(m.step)), m.stepName,
                     Num(static_cast<long long>(m.attempt)), ValidUtf8(m.name), limit(m.value),
                     ValidUtf8(m.notMeasured), ValidUtf8(m.unit), limit(m.low), limit(m.high),
                     limit(m.marginalLow), limit(m.marginalHigh), OutcomeName(m.outcome),
                     ValidUtf8(m.limitText)}))
      return false;
  return true;
}

bool WriteRun(Store& store, const StationRun& run) {
  bool passed = !run.interrupted;
  for (const CameraRecord& c : run.cameras) passed = passed && c.passed;
  std::string runId;
  if (!store.Exec("INSERT INTO runs (station, plan_path, plan_hash, started_at, seconds,"
                  " interrupted, passed, plan_name) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"
                  " RETURNING id",
                  {ValidUtf8(run.station), ValidUtf8(run.planPath), run.planHash, run.startedAt,
                   Num(run.seconds), Flag(run.interrupted), Flag(passed),
                   ValidUtf8(run.planName.empty() ? PlanName(run.planPath) : run.planName)},
                  &runId))
    return false;
  for (size_t i = 0; i < run.cameras.size(); ++i)
    if (!WriteCamera(store, runId, i, run.cameras[i])) return false;
  return true;
}

}  // namespace

bool IsConnectionString(const std::string& target) {
  static const std::regex form(R"(^(postgres(ql)?://|\s*(host|hostaddr|port|dbname|user|password|service|passfile|sslmode|connect_timeout|application_name)\s*=))");
  if (std::regex_search(target, form)) return true;
  // Any other of libpq's keywords first ("options=... password=..."): a file name libpq
  // reads as a whole key=value string would be a strange one.
  if (target.find('=') == std::string::npos) return false;
  PQconninfoOption* options = PQconninfoParse(target.c_str(), nullptr);
  PQconninfoFree(options);
  return options != nullptr;
}

namespace {

struct Span {
  size_t begin, end;
};

bool IsUri(const std::string& target) {
  return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int value = 0;
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      out += static_cast<char>(value);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Where a URI may hold its password. libpq takes the user part to run to the first '@'
// before a '/' (a '?' does not end it); when more '@' follow, what the user meant as the
// password may run to the last of them, so all of that is hidden. Query parameters named
// password are hidden too.
void UriPasswordSpans(const std::string& t, std::vector<Span>& spans) {
  const size_t start = t.find("://") + 3;
  const size_t slash = t.find('/', start);
  const size_t authorityEnd = slash == std::string::npos ? t.size() : slash;
  const size_t firstAt = t.find('@', start);
  if (firstAt < authorityEnd) {
    const size_t colon = t.find(':', start);
    const size_t lastAt = t.rfind('@', authorityEnd - 1);
    if (colon < firstAt) spans.push_back({colon + 1, lastAt});
  }
  const size_t query = t.find('?', start);
  if (query == std::string::npos) return;
  for (size_t item = query + 1; item <= t.size();) {
    size_t next = t.find('&', item);
    if (next == std::string::npos) next = t.size();
    const size_t equals = t.find('=', item);
    if (equals < next && PercentDecoded(t.substr(item, equals - item)) == "password")
      spans.push_back({equals + 1, next});
    item = next + 1;
  }
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// libpq's key=value grammar: whitespace between pairs and around '=', a value single-quoted
// or bare, a backslash escaping the next character. Where the string stops making sense
// (a key without '='), the rest of it is hidden: it may be the tail of a password.
void KeywordPasswordSpans(const std::string& t, std::vector<Span>& spans) {
  size_t at = 0;
  const size_t n = t.size();
  while (at < n) {
    while (at < n && IsSpace(t[at])) ++at;
    if (at == n) return;
    const size_t keyBegin = at;
    while (at < n && !IsSpace(t[at]) && t[at] != '=') ++at;
    const std::string key = t.substr(keyBegin, at - keyBegin);
    while (at < n && IsSpace(t[at])) ++at;
    if (at == n || t[at] != '=') {
      spans.push_back({keyBegin, n});
      return;
    }
    ++at;
    while (at < n && IsSpace(t[at])) ++at;
    const size_t valueBegin = at;
    if (at < n && t[at] == '\'') {
      for (++at; at < n && t[at] != '\''; ++at)
        if (t[at] == '\\') ++at;
      at = std::min(at + 1, n);
    } else {
      for (; at < n && !IsSpace(t[at]); ++at)
        if (t[at] == '\\') ++at;
      at = std::min(at, n);
    }
    if (key == "password" && at > valueBegin) spans.push_back({valueBegin, at});
  }
}

std::vector<Span> PasswordSpans(const std::string& target) {
  std::vector<Span> spans;
  if (IsUri(target)) UriPasswordSpans(target, spans);
  else KeywordPasswordSpans(target, spans);
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
  return spans;
}

// libpq's own reading of the string: keyword -> value, or nothing when it does not parse.
std::optional<std::vector<std::pair<std::string, std::string>>> Parsed(const std::string& target) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(target.c_str(), &message);
  PQfreemem(message);
  if (!options) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> values;
  for (PQconninfoOption* o = options; o->keyword; ++o)
    if (o->val) values.emplace_back(o->keyword, o->val);
  PQconninfoFree(options);
  return values;
}

std::string ParsedValue(const std::vector<std::pair<std::string, std::string>>& values,
                        const std::string& key) {
  for (const auto& [k, v] : values)
    if (k == key) return v;
  return "";
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string Quoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

std::string RedactedTarget(const std::string& target) {
  if (!IsConnectionString(target)) return target;
  std::string out;
  size_t copied = 0;
  for (const Span& span : PasswordSpans(target)) {
    if (span.end <= copied || span.begin == span.end) continue;
    // One that overlaps the last joins its "***".
    if (span.begin >= copied) out += target.substr(copied, span.begin - copied) + "***";
    copied = span.end;
  }
  out += target.substr(std::min(copied, target.size()));
  // Whatever the spans missed, libpq must not find a password in what is shown, nor may the
  // password be read there as text (a user name and the mask can spell one: "u:***"); if
  // either happens, show libpq's own reading of the string instead, password hidden.
  const auto original = Parsed(target);
  const std::string password = original ? ParsedValue(*original, "password") : "";
  if (password.empty()) return out;
  bool elsewhere = false;  // also another value's text, so no sign of a leak when shown
  for (const auto& [key, value] : *original)
    elsewhere = elsewhere || (key != "password" && value.find(password) != std::string::npos);
  const auto quotes = [&](const std::string& text) {
    return password.size() >= 4 && !elsewhere && Occurrences(target, password) == 1 &&
           text.find(password) != std::string::npos;
  };
  const auto shown = Parsed(out);
  const std::string read = shown ? ParsedValue(*shown, "password") : "";
  if (shown && (read.empty() || read == "***") && !quotes(out)) return out;
  std::string rebuilt;
  for (const auto& [key, value] : *original)
    rebuilt += (rebuilt.empty() ? "" : " ") + key + "=" + (key == "password" ? "***" : Quoted(value));
  if (!quotes(rebuilt)) return rebuilt;
  const std::string withheld = "(a connection string that cannot be shown without its password)";
  return quotes(withheld) ? "***" : withheld;
}

std::string RedactedMessage(const std::string& message, const std::string& target) {
  if (!IsConnectionString(target)) return message;
  // The pieces a message might quote: the password libpq read, each hidden span as written
  // and decoded, and a URI host that swallowed part of a password ("p@ss@host" gives the
  // host "ss@host"). Pieces under 3 characters cannot be told from the message's own words.
  std::vector<std::string> secrets;
  for (const Span& span : PasswordSpans(target)) {
    secrets.push_back(target.substr(span.begin, span.end - span.begin));
    secrets.push_back(PercentDecoded(secrets.back()));
  }
  if (const auto parsed = Parsed(target)) {
    secrets.push_back(ParsedValue(*parsed, "password"));
    if (IsUri(target))
      for (const auto& [key, value] : *parsed)
        if (value.find('@') != std::string::npos && key != "password") secrets.push_back(value);
  }
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string out = message;
  for (const std::string& secret : secrets) {
    if (secret.size() < 3) continue;
    // On from each mask: a secret may itself be made of '*'.
    for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at + 3))
      out.replace(at, secret.size(), "***");
  }
  // A password made of stars and its neighbours can come back out of the masks; then the
  // message is withheld, in words that do not spell the password either.
  const auto quotes = [&](const std::string& text) {
    for (const std::string& secret : secrets)
      if (secret.size() >= 3 && text.find(secret) != std::string::npos) return true;
    return false;
  };
  if (!quotes(out)) return out;
  for (const char* withheld : {"(withheld: it quotes the password)", "***"})
    if (!quotes(withheld)) return withheld;
  return "";
}

namespace {

std::unique_ptr<Store> OpenStore(const std::string& target, const CStoreInterrupt* interrupt,
                                 const StoreLimits& limits, bool& opened) {
  if (IsConnectionString(target)) {
    auto pg = std::make_unique<PostgresStore>(target, interrupt, limits);
    opened = pg->Opened();
    return pg;
  }
  auto lite = std::make_unique<SqliteStore>(target, interrupt, limits);
  opened = lite->Opened();
  return lite;
}

// One transaction: the schema checked (and made or migrated where needed), then work, if any.
using Work = std::function<bool(Store&, std::string& why)>;
bool InTransaction(const std::string& target, std::string& error, const CStoreInterrupt* interrupt,
                   const StoreLimits& limits, const Work& work) {
  bool opened = false;
  const std::unique_ptr<Store> store = OpenStore(target, interrupt, limits, opened);
  if (!opened) return Fail(error, "cannot open", target, *store);
  std::string why;
  const auto abandon = [&] {
    const std::string reason = why.empty() ? store->Reason() : why;
    store->Exec("ROLLBACK", {});
    error = "cannot write results database " + RedactedTarget(target) + ": " +
            RedactedMessage(reason, target);
    return false;
  };
  if (!store->Exec(store->Begin(), {})) return Fail(error, "cannot write", target, *store);
  if (!store->LockSchema() || !EnsureSchema(*store, why) || (work && !work(*store, why)))
    return abandon();
  if (!store->Exec("COMMIT", {})) return abandon();
  return true;
}

}  // namespace

bool CheckStationDb(const std::string& target, std::string& error, const CStoreInterrupt* interrupt,
                    const StoreLimits& limits) {
  return InTransaction(target, error, interrupt, limits, nullptr);
}

bool WriteStationDb(const std::string& target, const StationRun& run, std::string& error,
                    const CStoreInterrupt* interrupt, const StoreLimits& limits) {
  return InTransaction(target, error, interrupt, limits,
                       [&](Store& store, std::string&) { return WriteRun(store, run); });
}

bool AllocateUnitNumbers(const std::string& target, const std::string& plan,
                         unsigned long long start, unsigned count, unsigned long long& first,
                         std::string& error, const CStoreInterrupt* interrupt,
                         const StoreLimits& limits) {
  return InTransaction(target, error, interrupt, limits, [&](Store& store, std::string& why) {
    // The transaction holds the schema lock (PostgreSQL) or the write lock (SQLite) from its
    // start, so the read and the update below are one step for every other station.
    std::string text;
    if (!store.Exec("SELECT next_number FROM unit_counters WHERE plan = ?1", {ValidUtf8(plan)}, &text))
      return false;
    unsigned long long next = start;
    if (!text.empty()) {
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), next);
      if (ec != std::errc() || end != text.data() + text.size()) {
        why = "its counter for plan '" + ValidUtf8(plan) + "' holds '" + ValidUtf8(text.substr(0, 40)) + "'";
        return false;
      }
    }
    // The counter never goes back, and a number past what the column holds is refused
    // rather than wrapped round to one already handed out.
    constexpr unsigned long long kMax = 9223372036854775807ULL;
    if (next > kMax - count) {
      why = "its counter for plan '" + ValidUtf8(plan) + "' is exhausted";
      return false;
    }
    first = next;
    const std::string after = std::to_string(next + count);
    return text.empty()
               ? store.Exec("INSERT INTO unit_counters (plan, next_number) VALUES (?1, ?2)",
                            {ValidUtf8(plan), after})
               : store.Exec("UPDATE unit_counters SET next_number = ?2 WHERE plan = ?1",
                            {ValidUtf8(plan), after});
  });
}

bool CountPriorAttempts(const std::string& target, const std::string& plan, const std::string& unit,
                        int& attempts, std::string& error, const CStoreInterrupt* interrupt,
                        const StoreLimits& limits) {
  return InTransaction(target, error, interrupt, limits, [&](Store& store, std::string&) {
    std::string text;
    if (!store.Exec("SELECT COUNT(*) FROM cameras JOIN runs ON runs.id = cameras.run_id"
                    " WHERE runs.plan_name = ?1 AND cameras.unit = ?2",
                    {ValidUtf8(plan), ValidUtf8(unit)}, &text))
      return false;
    attempts = std::atoi(text.c_str());
    return true;
  });
}

namespace {

std::optional<double> Real(const Param& text) {
  if (!text || text->empty()) return std::nullopt;
  return std::strtod(text->c_str(), nullptr);
}

}  // namespace

bool ReadYieldRows(const std::string& target, const YieldQuery& query, YieldRows& rows,
                   std::string& error, const CStoreInterrupt* interrupt, const StoreLimits& limits) {
  rows = YieldRows{};
  if (!IsConnectionString(target) && access(target.c_str(), F_OK) != 0) {
    error = "cannot open results database " + target + ": " + std::strerror(errno);
    return false;
  }
  // "2026-12-09T06Z" must not sort after "2026-12-09T06:01:02Z".
  std::string since = query.since;
  if (!since.empty() && since.back() == 'Z') since.pop_back();
  const std::vector<Param> params = {ValidUtf8(query.plan), since};
  const std::string where =
      " c.interrupted = 0 AND (?1 = '' OR r.plan_name = ?1) AND (?2 = '' OR c.started_at >= ?2)";
  return InTransaction(target, error, interrupt, limits, [&](Store& store, std::string&) {
    Rows found;
    if (!store.Query("SELECT c.id, r.plan_name, c.unit, c.started_at, c.attempt, c.passed, c.marginal"
                     " FROM cameras c JOIN runs r ON r.id = c.run_id WHERE" + where + " ORDER BY c.id",
                     params, found))
      return false;
    std::map<long long, size_t> at;
    for (const auto& row : found) {
      YieldTest t;
      t.id = std::atoll(row[0].value_or("0").c_str());
      t.plan = row[1].value_or("");
      t.unit = row[2].value_or("");
      t.startedAt = row[3].value_or("");
      t.attempt = std::atoi(row[4].value_or("1").c_str());
      t.passed = row[5].value_or("0") != "0";
      t.marginal = row[6].value_or("0") != "0";
      at[t.id] = rows.tests.size();
      rows.tests.push_back(std::move(t));
    }
    // The step that failed each failed test: its first failure no later try mended.
    if (!store.Query("SELECT s.camera_id, s.name FROM steps s JOIN cameras c ON c.id = s.camera_id"
                     " JOIN runs r ON r.id = c.run_id WHERE" + where + " AND c.passed = 0 AND"
                     " s.result = 'fail' AND NOT EXISTS (SELECT 1 FROM steps t WHERE"
                     " t.camera_id = s.camera_id AND t.step = s.step AND t.attempt > s.attempt)"
                     " ORDER BY s.camera_id, s.position",
                     params, found))
      return false;
    for (const auto& row : found) {
      const auto it = at.find(std::atoll(row[0].value_or("0").c_str()));
      if (it != at.end() && rows.tests[it->second].failedStep.empty())
        rows.tests[it->second].failedStep = row[1].value_or("");
    }
    // Each test's measurements of its steps' last tries.
    if (!store.Query("SELECT m.camera_id, r.plan_name, m.name, m.unit, m.outcome, m.value, m.low,"
                     " m.high, m.marginal_low, m.marginal_high FROM measurements m JOIN cameras c"
                     " ON c.id = m.camera_id JOIN runs r ON r.id = c.run_id WHERE" + where +
                     " AND NOT EXISTS (SELECT 1 FROM measurements n WHERE n.camera_id = m.camera_id"
                     " AND n.step = m.step AND n.attempt > m.attempt) ORDER BY m.camera_id",
                     params, found))
      return false;
    rows.measurements.reserve(found.size());
    for (const auto& row : found) {
      YieldMeasurement m;
      m.test = std::atoll(row[0].value_or("0").c_str());
      m.plan = row[1].value_or("");
      m.name = row[2].value_or("");
      m.unit = row[3].value_or("");
      m.outcome = row[4].value_or("");
      m.value = Real(row[5]);
      m.low = Real(row[6]);
      m.high = Real(row[7]);
      m.marginalLow = Real(row[8]);
      m.marginalHigh = Real(row[9]);
      rows.measurements.push_back(std::move(m));
    }
    return true;
  });
}

namespace {

class CDatabaseStore : public IResultsStore {
 public:
  bool Check(const std::string& target, std::string& error,
             const CStoreInterrupt* interrupt) const override {
    return CheckStationDb(target, error, interrupt);
  }
  bool Write(const std::string& target, const StationRun& run, std::string& error,
             const CStoreInterrupt* interrupt) const override {
    return WriteStationDb(target, run, error, interrupt);
  }
  bool AllocateUnits(const std::string& target, const std::string& plan, unsigned long long start,
                     unsigned count, unsigned long long& first, std::string& error,
                     const CStoreInterrupt* interrupt) const override {
    return AllocateUnitNumbers(target, plan, start, count, first, error, interrupt);
  }
  bool PriorAttempts(const std::string& target, const std::string& plan, const std::string& unit,
                     int& attempts, std::string& error,
                     const CStoreInterrupt* interrupt) const override {
    return CountPriorAttempts(target, plan, unit, attempts, error, interrupt);
  }
  bool ReadYield(const std::string& target, const YieldQuery& query, YieldRows& rows,
                 std::string& error, const CStoreInterrupt* interrupt) const override {
    return ReadYieldRows(target, query, rows, error, interrupt);
  }
};

}  // namespace

const IResultsStore& DatabaseStore() {
  static const CDatabaseStore store;
  return store;
}

}  // namespace station
