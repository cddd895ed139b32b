#pragma once
// A small strict JSON reader for the tests: it accepts exactly RFC 8259 documents and
// hands back the top-level members of an object, so the output can be checked without a
// JSON library on the machine.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace jsoncheck {

struct Value {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  std::string text;  // decoded string, or the number's / literal's source text
};

class Reader {
 public:
  explicit Reader(const std::string& s) : m_s(s) {}

  // Parses one object; members holds its top-level values. False on any syntax error or
  // trailing characters.
  bool Object(std::map<std::string, Value>& members) {
    m_i = 0;
    Ws();
    if (!Peek('{')) return false;
    if (!ParseObject(&members)) return false;
    Ws();
    return m_i == m_s.size();
  }

 private:
  bool Peek(char c) const { return m_i < m_s.size() && m_s[m_i] == c; }
  void Ws() {
    while (m_i < m_s.size() &&
           (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\n' || m_s[m_i] == '\r'))
      ++m_i;
  }
  bool Lit(const char* word) {
    std::string w(word);
    if (m_s.compare(m_i, w.size(), w) != 0) return false;
    m_i += w.size();
    return true;
  }
  static void PutUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(uint32_t& v) {
    if (m_i + 4 > m_s.size()) return false;
    v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = m_s[m_i++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool ParseString(std::string& out) {
    if (!Peek('"')) return false;
    ++m_i;
    while (m_i < m_s.size()) {
      unsigned char c = static_cast<unsigned char>(m_s[m_i++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (m_i >= m_s.size()) return false;
      char e = m_s[m_i++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo;
            if (!Lit("\\u") || !Hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          PutUtf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool ParseNumber(std::string& out) {
    size_t start = m_i;
    if (Peek('-')) ++m_i;
    if (Peek('0')) {
      ++m_i;
    } else {
      if (m_i >= m_s.size() || m_s[m_i] < '1' || m_s[m_i] > '9') return false;
      while (m_i < m_s.size() && isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    }
    if (Peek('.')) {
      ++m_i;
      size_t d = m_i;
      while (m_i < m_s.size() && isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
      if (m_i == d) return false;
    }
    if (Peek('e') || Peek('E')) {
      ++m_i;
      if (Peek('+') || Peek('-')) ++m_i;
      size_t d = m_i;
      while (m_i < m_s.size() && isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
      if (m_i == d) return false;
    }
    out = m_s.substr(start, m_i - start);
    return true;
  }
  bool ParseValue(Value& v) {
    Ws();
    if (Peek('{')) { v.kind = Value::Object; return ParseObject(nullptr); }
    if (Peek('[')) { v.kind = Value::Array; return ParseArray(); }
    if (Peek('"')) { v.kind = Value::String; return ParseString(v.text); }
    if (Lit("true")) { v.kind = Value::Bool; v.text = "true"; return true; }
    if (Lit("false")) { v.kind = Value::Bool; v.text = "false"; return true; }
    if (Lit("null")) { v.kind = Value::Null; return true; }
    v.kind = Value::Number;
    return ParseNumber(v.text);
  }
  bool ParseArray() {
    ++m_i;
    Ws();
    if (Peek(']')) { ++m_i; return true; }
    for (;;) {
      Value v;
      if (!ParseValue(v)) return false;
      Ws();
      if (Peek(',')) { ++m_i; continue; }
      if (Peek(']')) { ++m_i; return true; }
      return false;
    }
  }
  bool ParseObject(std::map<std::string, Value>* members) {
    ++m_i;
    Ws();
    if (Peek('}')) { ++m_i; return true; }
    for (;;) {
      Ws();
      std::string key;
      if (!ParseString(key)) return false;
      Ws();
      if (!Peek(':')) return false;
      ++m_i;
      Value v;
      if (!ParseValue(v)) return false;
      if (members) (*members)[key] = v;
      Ws();
      if (Peek(',')) { ++m_i; continue; }
      if (Peek('}')) { ++m_i; return true; }
      return false;
    }
  }

  const std::string& m_s;
  size_t m_i = 0;
};

inline std::optional<std::map<std::string, Value>> ParseObject(const std::string& text) {
  std::map<std::string, Value> members;
  Reader reader(text);
  if (!reader.Object(members)) return std::nullopt;
  return members;
}

}  // namespace jsoncheck
