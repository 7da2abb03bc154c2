#include "report.h"

#include <cstdarg>

#include "thresholds.h"

namespace qx470check {

const char *verdict_word(Verdict v) {
  switch (v) {
    case Verdict::kPass:
      return "PASS";
    case Verdict::kWarn:
      return "WARN";
    case Verdict::kFail:
      return "FAIL";
    case Verdict::kSkip:
      return "SKIP";
  }
  return "?";
}

Verdict worse(Verdict a, Verdict b) {
  auto rank = [](Verdict v) { return v == Verdict::kFail ? 3 : v == Verdict::kWarn ? 2 : 1; };
  if (a == Verdict::kSkip) return a;
  if (b == Verdict::kSkip) return a;
  return rank(b) > rank(a) ? b : a;
}

Item &Step::add(Verdict v, std::string text, nlohmann::json f) {
  verdict = worse(verdict, v);
  items.push_back({v, std::move(text), std::move(f)});
  return items.back();
}

bool Report::failed() const {
  for (const Step &s : steps)
    if (s.verdict == Verdict::kFail) return true;
  return interrupted;
}

int Report::warnings() const {
  int n = 0;
  for (const Step &s : steps)
    for (const Item &i : s.items) n += i.verdict == Verdict::kWarn;
  return n;
}

std::string format(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string step_text(const Step &s) {
  std::string out = format("%d. %-12s %s  %s\n", s.number, s.name.c_str(), verdict_word(s.verdict),
                           s.summary.c_str());
  for (const Item &i : s.items)
    out += format("     %s  %s\n", verdict_word(i.verdict), i.text.c_str());
  return out;
}

std::string closing_text(const Report &r) {
  std::string out =
      "Thresholds (provisional ones are generous until devices have been measured):\n";
  for (const Threshold &t : kThresholds)
    out += format("  %-40s %8g %-15s %s%s\n", t.name, t.value, t.unit,
                  t.provisional ? "(provisional) " : "", t.reason);
  int failed = 0;
  for (const Step &s : r.steps) failed += s.verdict == Verdict::kFail;
  if (r.interrupted)
    out += "Result: INTERRUPTED: the check did not finish; the shunt is off.\n";
  else
    out += format("Result: %s (%d of %zu steps failed, %d warnings)\n",
                  r.failed() ? "FAIL" : "PASS", failed, r.steps.size(), r.warnings());
  return out;
}

nlohmann::json report_json(const Report &r) {
  nlohmann::json j = r.about;
  j["result"] = r.interrupted ? "INTERRUPTED" : r.failed() ? "FAIL" : "PASS";
  nlohmann::json thresholds = nlohmann::json::array();
  for (const Threshold &t : kThresholds)
    thresholds.push_back({{"name", t.name},
                          {"value", t.value},
                          {"unit", t.unit},
                          {"provisional", t.provisional},
                          {"reason", t.reason}});
  j["thresholds"] = thresholds;
  nlohmann::json steps = nlohmann::json::array();
  for (const Step &s : r.steps) {
    nlohmann::json items = nlohmann::json::array();
    for (const Item &i : s.items)
      items.push_back(
          {{"verdict", verdict_word(i.verdict)}, {"text", i.text}, {"figures", i.figures}});
    steps.push_back({{"step", s.number},
                     {"name", s.name},
                     {"verdict", verdict_word(s.verdict)},
                     {"summary", s.summary},
                     {"figures", s.figures},
                     {"items", items}});
  }
  j["steps"] = steps;
  return j;
}

}  // namespace qx470check
