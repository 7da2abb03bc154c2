// The self-check's report: one line per step with its verdict and the figure behind it, the
// items it judged below it, and the same as JSON for a bug report.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qx470check {

enum class Verdict { kPass, kWarn, kFail, kSkip };
const char *verdict_word(Verdict v);
// The worse of two: FAIL over WARN over PASS; a step that was not run stays SKIP.
Verdict worse(Verdict a, Verdict b);

struct Item {
  Verdict verdict = Verdict::kPass;
  std::string text;
  nlohmann::json figures = nlohmann::json::object();
};

struct Step {
  int number = 0;
  std::string name;
  Verdict verdict = Verdict::kPass;
  std::string summary;
  std::vector<Item> items;
  nlohmann::json figures = nlohmann::json::object();

  // Adds an item and lets it set the step's verdict.
  Item &add(Verdict v, std::string text, nlohmann::json figures = nlohmann::json::object());
};

struct Report {
  nlohmann::json about = nlohmann::json::object();  // device, versions, machine
  std::vector<Step> steps;
  bool interrupted = false;
  bool failed() const;
  int warnings() const;
};

// The step's line and its items, as printed.
std::string step_text(const Step &s);
// The thresholds, each with its reason, and the result line.
std::string closing_text(const Report &r);
nlohmann::json report_json(const Report &r);

// printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qx470check
