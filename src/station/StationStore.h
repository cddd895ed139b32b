#pragma once
// What a front end needs to keep a station run's results without linking a database: the
// store's interface, its limits and the interrupt that ends its waits. The SQLite and
// PostgreSQL store (StationDb.h) is a library of its own.
#include <atomic>
#include <chrono>
#include <string>

#include "station/StationRecord.h"

namespace station {

// Ends the store's waits from another thread (Ctrl+C): a connection under way, a statement
// the server has not answered, an SQLite file another station holds.
class CStoreInterrupt {
 public:
  CStoreInterrupt();
  ~CStoreInterrupt();
  CStoreInterrupt(const CStoreInterrupt&) = delete;
  CStoreInterrupt& operator=(const CStoreInterrupt&) = delete;

  void Interrupt();  // any thread, any number of times
  bool Interrupted() const { return m_interrupted; }
  int WakeFd() const { return m_fd; }  // readable once interrupted; -1 when none could be made

 private:
  std::atomic<bool> m_interrupted{false};
  int m_fd = -1;
};

// How long the store may keep the station waiting.
struct StoreLimits {
  // Reaching a PostgreSQL server and logging in; a connect_timeout in the target (or
  // PGCONNECT_TIMEOUT) takes its place.
  std::chrono::milliseconds connect{10000};
  // Each PostgreSQL statement: the server's statement_timeout, and the client gives up a
  // little after it when the server says nothing at all.
  std::chrono::milliseconds statement{30000};
  // An SQLite file another station is writing.
  std::chrono::milliseconds busy{15000};
};

// Where the runs go. Both calls may block (a server, a file another station holds) and
// end early once interrupt is set; error then names the target and the reason.
class IResultsStore {
 public:
  virtual ~IResultsStore() = default;
  // Whether target can take a run (reached, schema there or made, version known): asked
  // before any camera is touched.
  virtual bool Check(const std::string& target, std::string& error,
                     const CStoreInterrupt* interrupt) const = 0;
  // Keeps the run, all of it or nothing.
  virtual bool Write(const std::string& target, const StationRun& run, std::string& error,
                     const CStoreInterrupt* interrupt) const = 0;
  // Hands out `count` consecutive unit numbers from the plan's counter (the first in
  // `first`), in one transaction: no two calls, from any station sharing the store, ever
  // get the same number. A new plan's counter starts at `start`.
  virtual bool AllocateUnits(const std::string& target, const std::string& plan,
                             unsigned long long start, unsigned count, unsigned long long& first,
                             std::string& error, const CStoreInterrupt* interrupt) const = 0;
  // How many runs of the plan the store already holds for the unit (0: never tested).
  virtual bool PriorAttempts(const std::string& target, const std::string& plan,
                             const std::string& unit, int& attempts, std::string& error,
                             const CStoreInterrupt* interrupt) const = 0;
};

}  // namespace station
