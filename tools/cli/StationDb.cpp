#include "StationDb.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <charconv>
#include <memory>
#include <optional>
#include <regex>
#include <vector>

#include "StationReports.h"

namespace cli {

namespace {

using Param = std::optional<std::string>;  // nullopt: SQL NULL

// The one schema, written for both stores: only the key column differs.
const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS runs (id @KEY@, station TEXT NOT NULL, plan_path TEXT NOT NULL,"
    " plan_hash TEXT NOT NULL, started_at TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL,"
    " interrupted INTEGER NOT NULL, passed INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS cameras (id @KEY@, run_id BIGINT NOT NULL REFERENCES runs(id),"
    " position INTEGER NOT NULL, port TEXT NOT NULL, device TEXT NOT NULL,"
    " adapter_serial TEXT NOT NULL, baud INTEGER NOT NULL, version TEXT NOT NULL,"
    " serial_written TEXT NOT NULL, profile_hash TEXT NOT NULL, picture TEXT NOT NULL,"
    " passed INTEGER NOT NULL, started_at TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL,"
    " width INTEGER, height INTEGER, mean_luma DOUBLE PRECISION, min_luma INTEGER,"
    " max_luma INTEGER, luma_spread DOUBLE PRECISION, clipped_black DOUBLE PRECISION,"
    " clipped_white DOUBLE PRECISION, sharpness DOUBLE PRECISION, uniform INTEGER,"
    " mean_red DOUBLE PRECISION, mean_green DOUBLE PRECISION, mean_blue DOUBLE PRECISION)",
    "CREATE TABLE IF NOT EXISTS steps (camera_id BIGINT NOT NULL REFERENCES cameras(id),"
    " position INTEGER NOT NULL, name TEXT NOT NULL, result TEXT NOT NULL,"
    " status INTEGER NOT NULL, message TEXT NOT NULL, log TEXT NOT NULL,"
    " seconds DOUBLE PRECISION NOT NULL)",
    "CREATE INDEX IF NOT EXISTS cameras_adapter_serial ON cameras (adapter_serial)",
    "CREATE INDEX IF NOT EXISTS cameras_serial_written ON cameras (serial_written)",
};

std::string Num(double v) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : "0";
}
std::string Num(long long v) { return std::to_string(v); }
std::string Flag(bool v) { return v ? "1" : "0"; }

// One connection; statements are written with ?1, ?2 ... and bound, never spliced.
class Store {
 public:
  virtual ~Store() = default;
  // Runs sql with params; the first column of the first row, if any, into *value.
  bool Exec(const std::string& sql, const std::vector<Param>& params,
            std::string* value = nullptr) {
    return Run(sql, params, value);
  }
  virtual std::string Error() const = 0;

 protected:
  virtual bool Run(const std::string& sql, const std::vector<Param>& params, std::string* value) = 0;

 public:
  virtual std::string KeyColumn() const = 0;
  // Taken at the start of a transaction, so stations creating the schema at once don't race.
  virtual bool LockSchema() { return true; }
  virtual const char* Begin() const { return "BEGIN"; }
};

class SqliteStore : public Store {
 public:
  explicit SqliteStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) ==
        SQLITE_OK) {
      // Stations sharing a file on one machine wait for each other instead of failing.
      sqlite3_busy_timeout(m_db, 15000);
      m_ok = Exec("PRAGMA foreign_keys = ON", {});
    }
  }
  ~SqliteStore() override { sqlite3_close(m_db); }
  bool Opened() const { return m_ok; }

  bool Run(const std::string& sql, const std::vector<Param>& params, std::string* value) override {
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
    while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
    return rc == SQLITE_DONE;
  }
  std::string Error() const override { return m_db ? sqlite3_errmsg(m_db) : "out of memory"; }
  std::string KeyColumn() const override { return "INTEGER PRIMARY KEY"; }
  const char* Begin() const override { return "BEGIN IMMEDIATE"; }

 private:
  sqlite3* m_db = nullptr;
  bool m_ok = false;
};

class PostgresStore : public Store {
 public:
  explicit PostgresStore(const std::string& target) : m_conn(PQconnectdb(target.c_str())) {}
  ~PostgresStore() override { PQfinish(m_conn); }
  bool Opened() const { return m_conn && PQstatus(m_conn) == CONNECTION_OK; }

  bool Run(const std::string& sql, const std::vector<Param>& params, std::string* value) override {
    std::vector<const char*> values;
    for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(
        PQexecParams(m_conn, Dollars(sql).c_str(), static_cast<int>(values.size()), nullptr,
                     values.data(), nullptr, nullptr, 0),
        PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return false;
    if (value && status == PGRES_TUPLES_OK && PQntuples(result.get()) > 0)
      *value = PQgetvalue(result.get(), 0, 0);
    return true;
  }
  std::string Error() const override {
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
  // libpq numbers its parameters $1, $2 ...
  static std::string Dollars(const std::string& sql) {
    std::string out;
    for (char c : sql) out += c == '?' ? '$' : c;
    return out;
  }
  PGconn* m_conn;
};

bool Fail(std::string& error, const std::string& what, const std::string& target, const Store& store) {
  error = what + " results database " + RedactedTarget(target) + ": " + store.Error();
  return false;
}

bool EnsureSchema(Store& store, std::string& why) {
  for (const char* statement : kSchema) {
    std::string sql = statement;
    for (size_t at; (at = sql.find("@KEY@")) != std::string::npos;) sql.replace(at, 5, store.KeyColumn());
    if (!store.Exec(sql, {})) return false;
  }
  std::string version;
  if (!store.Exec("SELECT MAX(version) FROM schema_version", {}, &version)) return false;
  if (version.empty())
    return store.Exec("INSERT INTO schema_version (version) VALUES (?1)",
                      {Num(static_cast<long long>(kStationDbSchemaVersion))});
  if (std::stoll(version) > kStationDbSchemaVersion) {
    why = "its schema version " + version + " is newer than this program's (" +
          std::to_string(kStationDbSchemaVersion) + ")";
    return false;
  }
  return true;
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
          " uniform, mean_red, mean_green, mean_blue) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9,"
          " ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26)"
          " RETURNING id",
          {runId, Num(static_cast<long long>(position)), ValidUtf8(c.port), ValidUtf8(c.device),
           ValidUtf8(c.adapterSerial), Num(static_cast<long long>(c.baud)), ValidUtf8(c.version),
           ValidUtf8(c.serialWritten), ValidUtf8(c.profileHash), ValidUtf8(c.picturePath),
           Flag(c.passed), c.startedAt, Num(c.seconds), fig(Num(static_cast<long long>(f.width))),
           fig(Num(static_cast<long long>(f.height))), fig(Num(f.meanLuma)),
           fig(Num(static_cast<long long>(f.minLuma))), fig(Num(static_cast<long long>(f.maxLuma))),
           fig(Num(f.lumaSpread)), fig(Num(f.clippedBlack)), fig(Num(f.clippedWhite)),
           fig(Num(f.sharpness)), fig(Flag(f.uniform)), fig(Num(f.meanRed)), fig(Num(f.meanGreen)),
           fig(Num(f.meanBlue))},
          &cameraId))
    return false;
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const StepRecord& s = c.steps[i];
    std::string log;
    for (const std::string& line : s.log) log += line + "\n";
    if (!store.Exec("INSERT INTO steps (camera_id, position, name, result, status, message, log,"
                    " seconds) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                    {cameraId, Num(static_cast<long long>(i)), s.name,
                     s.skipped ? "skipped" : s.passed ? "pass" : "fail",
                     Num(static_cast<long long>(s.status)), ValidUtf8(s.message), ValidUtf8(log),
                     Num(s.seconds)}))
      return false;
  }
  return true;
}

bool WriteRun(Store& store, const StationRun& run) {
  bool passed = !run.interrupted;
  for (const CameraRecord& c : run.cameras) passed = passed && c.passed;
  std::string runId;
  if (!store.Exec("INSERT INTO runs (station, plan_path, plan_hash, started_at, seconds,"
                  " interrupted, passed) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) RETURNING id",
                  {ValidUtf8(run.station), ValidUtf8(run.planPath), run.planHash, run.startedAt,
                   Num(run.seconds), Flag(run.interrupted), Flag(passed)},
                  &runId))
    return false;
  for (size_t i = 0; i < run.cameras.size(); ++i)
    if (!WriteCamera(store, runId, i, run.cameras[i])) return false;
  return true;
}

}  // namespace

bool IsConnectionString(const std::string& target) {
  static const std::regex form(R"(^(postgres(ql)?://|\s*(host|hostaddr|port|dbname|user|password|service|passfile|sslmode|connect_timeout|application_name)\s*=))");
  return std::regex_search(target, form);
}

std::string RedactedTarget(const std::string& target) {
  static const std::regex uri(R"(^(postgres(?:ql)?://[^:/@?]*:)[^@/?]*@)");
  static const std::regex keyword(R"((^|\s)(password\s*=\s*)('(?:[^'\\]|\\.)*'|\S*))");
  static const std::regex query(R"(([?&]password=)[^&]*)");
  std::string out = std::regex_replace(target, uri, "$1***@");
  out = std::regex_replace(out, query, "$1***");
  if (out.rfind("postgres", 0) != 0) out = std::regex_replace(out, keyword, "$1$2***");
  return out;
}

bool WriteStationDb(const std::string& target, const StationRun& run, std::string& error) {
  std::unique_ptr<Store> store;
  bool opened = false;
  if (IsConnectionString(target)) {
    auto pg = std::make_unique<PostgresStore>(target);
    opened = pg->Opened();
    store = std::move(pg);
  } else {
    auto lite = std::make_unique<SqliteStore>(target);
    opened = lite->Opened();
    store = std::move(lite);
  }
  if (!opened) return Fail(error, "cannot open", target, *store);
  std::string why;
  const auto abandon = [&] {
    const std::string reason = why.empty() ? store->Error() : why;
    store->Exec("ROLLBACK", {});
    error = "cannot write results database " + RedactedTarget(target) + ": " + reason;
    return false;
  };
  if (!store->Exec(store->Begin(), {})) return Fail(error, "cannot write", target, *store);
  if (!store->LockSchema() || !EnsureSchema(*store, why) || !WriteRun(*store, run)) return abandon();
  if (!store->Exec("COMMIT", {})) return abandon();
  return true;
}

}  // namespace cli
