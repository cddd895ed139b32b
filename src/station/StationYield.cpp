#include "station/StationYield.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "station/StationReports.h"

namespace station {

namespace {

std::vector<Count> Pareto(const std::map<std::string, long long>& counts) {
  std::vector<Count> out;
  for (const auto& [name, count] : counts) out.push_back({name, count});
  std::stable_sort(out.begin(), out.end(), [](const Count& a, const Count& b) { return a.count > b.count; });
  return out;
}

std::string Fixed(double v, int digits) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string Maybe(const std::optional<double>& v, int digits = 3) { return v ? Fixed(*v, digits) : "-"; }

std::string Percent(long long part, long long whole) {
  return whole ? Fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1) + "%" : "-";
}

std::string Html(const std::string& raw) {
  std::string out;
  for (char c : ValidUtf8(raw)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
  }
  return out;
}

std::string LimitsText(const MeasurementStats& m) {
  std::string text = Maybe(m.low, 2) + ".." + Maybe(m.high, 2);
  if (m.marginalLow || m.marginalHigh) text += " marginal " + Maybe(m.marginalLow, 2) + ".." + Maybe(m.marginalHigh, 2);
  return text;
}

// A histogram of the values with the limits (red) and the marginal band (amber) drawn over it.
std::string Histogram(const MeasurementStats& m) {
  constexpr double kW = 360, kH = 120, kPad = 4;
  constexpr int kBins = 24;
  if (m.values.empty()) return "<p>no measured values</p>";
  double lo = *std::min_element(m.values.begin(), m.values.end());
  double hi = *std::max_element(m.values.begin(), m.values.end());
  for (const auto& edge : {m.low, m.high, m.marginalLow, m.marginalHigh})
    if (edge) lo = std::min(lo, *edge), hi = std::max(hi, *edge);
  if (hi <= lo) hi = lo + 1;
  const double span = hi - lo;
  lo -= span * 0.05;
  hi += span * 0.05;
  std::vector<long long> bins(kBins, 0);
  for (double v : m.values) bins[std::min(kBins - 1, static_cast<int>((v - lo) / (hi - lo) * kBins))]++;
  const long long most = std::max<long long>(1, *std::max_element(bins.begin(), bins.end()));
  const auto x = [&](double v) { return kPad + (v - lo) / (hi - lo) * (kW - 2 * kPad); };
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Fixed(kW, 0) + "\" height=\"" +
                    Fixed(kH + 16, 0) + "\" role=\"img\" aria-label=\"" + Html(m.name) + " histogram\">";
  const double bw = (kW - 2 * kPad) / kBins;
  for (int i = 0; i < kBins; ++i) {
    const double h = (kH - kPad) * static_cast<double>(bins[i]) / static_cast<double>(most);
    svg += "<rect x=\"" + Fixed(kPad + i * bw, 1) + "\" y=\"" + Fixed(kH - h, 1) + "\" width=\"" +
           Fixed(bw - 1, 1) + "\" height=\"" + Fixed(h, 1) + "\" fill=\"#4a7ab5\"/>";
  }
  const auto line = [&](const std::optional<double>& v, const char* colour, const char* label) {
    if (!v) return;
    svg += "<line x1=\"" + Fixed(x(*v), 1) + "\" x2=\"" + Fixed(x(*v), 1) + "\" y1=\"0\" y2=\"" +
           Fixed(kH, 0) + "\" stroke=\"" + colour + "\" stroke-width=\"2\"><title>" + label + " " +
           Fixed(*v, 2) + "</title></line>";
  };
  line(m.low, "#c0392b", "low limit");
  line(m.high, "#c0392b", "high limit");
  line(m.marginalLow, "#e69b00", "marginal low");
  line(m.marginalHigh, "#e69b00", "marginal high");
  svg += "<text x=\"" + Fixed(kPad, 0) + "\" y=\"" + Fixed(kH + 13, 0) + "\" font-size=\"11\">" + Fixed(lo, 2) +
         "</text><text x=\"" + Fixed(kW - kPad, 0) + "\" y=\"" + Fixed(kH + 13, 0) +
         "\" font-size=\"11\" text-anchor=\"end\">" + Fixed(hi, 2) + "</text></svg>";
  return svg;
}

// Yield per hour as bars (the hour's tests that passed), 0..100 %.
std::string HourChart(const std::vector<HourYield>& hours) {
  if (hours.empty()) return "";
  constexpr double kH = 120, kBar = 14;
  const double width = std::max(120.0, hours.size() * (kBar + 2) + 8);
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Fixed(width, 0) + "\" height=\"" +
                    Fixed(kH + 4, 0) + "\" role=\"img\" aria-label=\"yield per hour\">";
  for (size_t i = 0; i < hours.size(); ++i) {
    const double share = hours[i].tests ? static_cast<double>(hours[i].passed) / hours[i].tests : 0;
    const double h = (kH - 4) * share;
    svg += "<rect x=\"" + Fixed(4 + i * (kBar + 2), 0) + "\" y=\"" + Fixed(kH - h, 1) + "\" width=\"" +
           Fixed(kBar, 0) + "\" height=\"" + Fixed(h, 1) + "\" fill=\"#2e8b57\"><title>" +
           Html(hours[i].hour) + ":00Z " + Percent(hours[i].passed, hours[i].tests) + " of " +
           std::to_string(hours[i].tests) + "</title></rect>";
  }
  return svg + "</svg>";
}

}  // namespace

bool ValidSinceDate(const std::string& text) {
  static const std::regex form(R"(^\d{4}-\d{2}-\d{2}(T\d{2}(:\d{2}(:\d{2})?)?Z?)?$)");
  return std::regex_match(text, form);
}

std::vector<PlanYield> ComputeYield(const YieldRows& rows) {
  std::map<std::string, PlanYield> plans;
  // Per plan and unit: its tests, oldest first (the rows come oldest first).
  std::map<std::string, std::map<std::string, std::vector<const YieldTest*>>> units;
  std::map<std::string, std::map<std::string, HourYield>> hours;
  for (const YieldTest& t : rows.tests) {
    PlanYield& p = plans[t.plan];
    p.plan = t.plan;
    ++p.tests;
    const std::string unit = t.unit.empty() ? "#" + std::to_string(t.id) : t.unit;
    units[t.plan][unit].push_back(&t);
    HourYield& h = hours[t.plan][t.startedAt.substr(0, 13)];
    h.hour = t.startedAt.substr(0, 13);
    ++h.tests;
    h.passed += t.passed;
  }
  for (auto& [name, p] : plans) {
    std::map<std::string, long long> bySteps;
    for (auto& [unit, tests] : units[name]) {
      // First: the lowest attempt (the oldest of equals); last: the highest, the newest.
      const auto order = [](const YieldTest* a, const YieldTest* b) {
        return a->attempt != b->attempt ? a->attempt < b->attempt : a->id < b->id;
      };
      std::stable_sort(tests.begin(), tests.end(), order);
      ++p.units;
      p.firstPassed += tests.front()->passed;
      p.finalPassed += tests.back()->passed;
      p.marginal += tests.back()->passed && tests.back()->marginal;
      for (const YieldTest* t : tests)
        if (!t->passed) ++bySteps[t->failedStep.empty() ? "(none)" : t->failedStep];
    }
    p.retests = p.tests - p.units;
    p.firstPassYield = p.units ? static_cast<double>(p.firstPassed) / p.units : 0;
    p.finalYield = p.units ? static_cast<double>(p.finalPassed) / p.units : 0;
    p.failuresByStep = Pareto(bySteps);
    for (auto& [hour, h] : hours[name]) p.hours.push_back(h);
  }
  std::map<std::string, std::map<std::string, MeasurementStats>> stats;
  std::map<std::string, std::map<std::string, long long>> byMeasurement;
  for (const YieldMeasurement& m : rows.measurements) {
    MeasurementStats& s = stats[m.plan][m.name];
    s.name = m.name;
    s.unit = m.unit;
    // The rows come oldest first: the limits shown are the latest plan's.
    s.low = m.low;
    s.high = m.high;
    s.marginalLow = m.marginalLow;
    s.marginalHigh = m.marginalHigh;
    if (m.value) s.values.push_back(*m.value);
    else ++s.notMeasured;
    if (m.outcome == "marginal") ++s.outsideMarginal;
    if (m.outcome == "fail") {
      ++s.failed;
      ++byMeasurement[m.plan][m.name];
    }
  }
  for (auto& [plan, byName] : stats) {
    if (!plans.count(plan)) continue;
    for (auto& [name, s] : byName) {
      s.n = static_cast<long long>(s.values.size());
      if (s.n > 0) {
        double sum = 0;
        for (double v : s.values) sum += v;
        s.mean = sum / s.n;
      }
      if (s.n > 1) {
        double squares = 0;
        for (double v : s.values) squares += (v - *s.mean) * (v - *s.mean);
        s.sd = std::sqrt(squares / (s.n - 1));
      }
      if (s.sd && *s.sd > 0 && (s.low || s.high)) {
        double cpk = INFINITY;
        if (s.high) cpk = std::min(cpk, (*s.high - *s.mean) / (3 * *s.sd));
        if (s.low) cpk = std::min(cpk, (*s.mean - *s.low) / (3 * *s.sd));
        s.cpk = cpk;
      }
      plans[plan].measurements.push_back(s);
    }
    plans[plan].failuresByMeasurement = Pareto(byMeasurement[plan]);
  }
  std::vector<PlanYield> out;
  for (auto& [name, p] : plans) out.push_back(std::move(p));
  return out;
}

std::string YieldText(const std::vector<PlanYield>& plans) {
  std::string out;
  if (plans.empty()) return "no tests in the store for this selection\n";
  for (const PlanYield& p : plans) {
    out += "plan " + p.plan + ": " + std::to_string(p.units) + " units, " + std::to_string(p.tests) +
           " tests, " + std::to_string(p.retests) + " retests\n";
    out += "  first-pass yield " + Percent(p.firstPassed, p.units) + " (" + std::to_string(p.firstPassed) +
           "/" + std::to_string(p.units) + "), final yield " + Percent(p.finalPassed, p.units) + " (" +
           std::to_string(p.finalPassed) + "/" + std::to_string(p.units) + "), marginal " +
           std::to_string(p.marginal) + "\n";
    const auto pareto = [&](const char* title, const std::vector<Count>& counts) {
      out += std::string("  failures by ") + title + ":";
      if (counts.empty()) out += " none";
      for (const Count& c : counts) out += " " + c.name + " " + std::to_string(c.count) + ",";
      if (!counts.empty()) out.pop_back();
      out += "\n";
    };
    pareto("step", p.failuresByStep);
    pareto("measurement", p.failuresByMeasurement);
    for (const MeasurementStats& m : p.measurements)
      out += "  " + m.name + (m.unit.empty() ? "" : " (" + m.unit + ")") + ": n " + std::to_string(m.n) +
             " mean " + Maybe(m.mean) + " sd " + Maybe(m.sd) + " limits " + LimitsText(m) + " cpk " +
             Maybe(m.cpk, 2) + " outside marginal " + std::to_string(m.outsideMarginal) + " failed " +
             std::to_string(m.failed) + (m.notMeasured ? " not measured " + std::to_string(m.notMeasured) : "") +
             "\n";
  }
  return out;
}

std::string YieldJson(const std::vector<PlanYield>& plans) {
  using Json = nlohmann::ordered_json;
  const auto opt = [](const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); };
  const auto counts = [](const std::vector<Count>& list) {
    Json out = Json::array();
    for (const Count& c : list) out.push_back({{"name", c.name}, {"count", c.count}});
    return out;
  };
  Json all = Json::array();
  for (const PlanYield& p : plans) {
    Json measurements = Json::array();
    for (const MeasurementStats& m : p.measurements)
      measurements.push_back({{"name", m.name}, {"unit", m.unit}, {"n", m.n}, {"notMeasured", m.notMeasured},
                              {"mean", opt(m.mean)}, {"sd", opt(m.sd)}, {"low", opt(m.low)},
                              {"high", opt(m.high)}, {"marginalLow", opt(m.marginalLow)},
                              {"marginalHigh", opt(m.marginalHigh)}, {"cpk", opt(m.cpk)},
                              {"outsideMarginal", m.outsideMarginal}, {"failed", m.failed}});
    Json hours = Json::array();
    for (const HourYield& h : p.hours) hours.push_back({{"hour", h.hour}, {"tests", h.tests}, {"passed", h.passed}});
    all.push_back({{"plan", p.plan}, {"units", p.units}, {"tests", p.tests}, {"retests", p.retests},
                   {"firstPassed", p.firstPassed}, {"firstPassYield", p.firstPassYield},
                   {"finalPassed", p.finalPassed}, {"finalYield", p.finalYield}, {"marginal", p.marginal},
                   {"failuresByStep", counts(p.failuresByStep)},
                   {"failuresByMeasurement", counts(p.failuresByMeasurement)},
                   {"measurements", measurements}, {"hours", hours}});
  }
  return Json{{"plans", all}}.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string YieldHtml(const std::vector<PlanYield>& plans, const std::string& title) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + Html(title) +
      "</title><style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
      "td,th{border:1px solid #bbb;padding:2px 8px;text-align:right}th{background:#eee}"
      "td:first-child,th:first-child{text-align:left}.m{display:inline-block;margin:0 1em 1em 0}"
      "</style></head><body>\n<h1>" + Html(title) + "</h1>\n";
  if (plans.empty()) out += "<p>No tests in the store for this selection.</p>\n";
  for (const PlanYield& p : plans) {
    out += "<h2>Plan " + Html(p.plan) + "</h2>\n<table><tr><th>units</th><th>tests</th><th>retests</th>"
           "<th>first-pass yield</th><th>final yield</th><th>marginal</th></tr><tr><td>" +
           std::to_string(p.units) + "</td><td>" + std::to_string(p.tests) + "</td><td>" +
           std::to_string(p.retests) + "</td><td>" + Percent(p.firstPassed, p.units) + "</td><td>" +
           Percent(p.finalPassed, p.units) + "</td><td>" + std::to_string(p.marginal) + "</td></tr></table>\n";
    const auto pareto = [&](const char* title, const std::vector<Count>& counts) {
      out += std::string("<h3>Failures by ") + title + "</h3>\n";
      if (counts.empty()) {
        out += "<p>none</p>\n";
        return;
      }
      out += "<table><tr><th>" + std::string(title) + "</th><th>failures</th></tr>";
      for (const Count& c : counts)
        out += "<tr><td>" + Html(c.name) + "</td><td>" + std::to_string(c.count) + "</td></tr>";
      out += "</table>\n";
    };
    pareto("step", p.failuresByStep);
    pareto("measurement", p.failuresByMeasurement);
    out += "<h3>Measurements</h3>\n<table><tr><th>measurement</th><th>n</th><th>mean</th><th>sd</th>"
           "<th>limits</th><th>Cpk</th><th>outside marginal</th><th>failed</th></tr>";
    for (const MeasurementStats& m : p.measurements)
      out += "<tr><td>" + Html(m.name) + (m.unit.empty() ? "" : " (" + Html(m.unit) + ")") + "</td><td>" +
             std::to_string(m.n) + "</td><td>" + Maybe(m.mean) + "</td><td>" + Maybe(m.sd) + "</td><td>" +
             Html(LimitsText(m)) + "</td><td>" + Maybe(m.cpk, 2) + "</td><td>" +
             std::to_string(m.outsideMarginal) + "</td><td>" + std::to_string(m.failed) + "</td></tr>";
    out += "</table>\n";
    for (const MeasurementStats& m : p.measurements)
      out += "<figure class=\"m\">" + Histogram(m) + "<figcaption>" + Html(m.name) + " (limits red, marginal band amber)</figcaption></figure>\n";
    if (!p.hours.empty())
      out += "<h3>Yield per hour (UTC)</h3>\n<figure>" + HourChart(p.hours) + "<figcaption>" +
             Html(p.hours.front().hour) + ":00Z to " + Html(p.hours.back().hour) + ":59Z</figcaption></figure>\n";
  }
  return out + "</body></html>\n";
}

}  // namespace station
