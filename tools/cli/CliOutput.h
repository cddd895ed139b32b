#pragma once
// Result lines on stdout (plain text or one JSON object each) and diagnostics on stderr.
// Several threads may report at once (monitor output, trace); every write is one unit.
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct Field {
  enum Kind { String, Integer, Real, Boolean } kind = String;
  std::string name;
  std::string text;
  long long integer = 0;
  double real = 0;
  int decimals = 2;  // a real's, in JSON

  static Field Str(std::string name, std::string value);
  static Field Int(std::string name, long long value);
  static Field Num(std::string name, double value);  // written with two decimals
  static Field Num(std::string name, double value, int decimals);
  static Field Bool(std::string name, bool value);
};

struct ResultLine {
  std::string command;
  bool ok = true;
  std::string message;        // the system's own text, when there is one
  std::vector<Field> fields;  // machine-readable values
  std::string text;           // the plain-text line; the message when empty
};

// JSON string literal (quotes included); bytes that are not UTF-8 become U+FFFD, so a
// camera's odd version text can never break a reader.
std::string JsonString(const std::string& text);
// One JSON object for the line: command, ok, message (when set), then the fields.
std::string JsonObject(const ResultLine& line);

class ResultWriter {
 public:
  ResultWriter(std::ostream& out, std::ostream& err, bool json);
  void Result(const ResultLine& line);
  // A diagnostic for the operator ("brevant-cli: ..."), always on stderr.
  void Error(const std::string& text);
  // Raw text on stderr (traffic trace). Its last line may be left open for the bytes still
  // to come; any other output ends it first, so nothing runs on after a trace line.
  void Trace(const std::string& text);
  // Ends the trace's line if it is open.
  void EndTraceLine();
  // A line on stderr redrawn in place (the transfer meter; stderr is a terminal); ""
  // removes it. Every other write removes it first, so nothing lands on its tail.
  void Transient(const std::string& text);
  bool Json() const { return m_json; }

  // What the writer was handed, typed, for a caller that reads the outcome rather than the
  // streams (a station camera): each result line's plain text and each diagnostic's text
  // without the program's prefix, split into non-empty lines. After Keep() both are kept
  // instead of written; TakeKept() hands over what came since the last call.
  struct Kept {
    std::vector<std::string> output;
    std::vector<std::string> diagnostics;
  };
  void Keep();
  Kept TakeKept();

 private:
  void ClearTransientLocked();
  void EndTraceLineLocked();

  std::mutex m_mutex;
  bool m_bTransientShown = false;
  bool m_bTraceLineOpen = false;
  std::ostream& m_out;
  std::ostream& m_err;
  bool m_json;
  bool m_bKeep = false;
  Kept m_kept;
};

}  // namespace cli
