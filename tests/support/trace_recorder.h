// Captures trace lines for the length of a test.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/trace.h"

class TraceRecorder {
 public:
  TraceRecorder() {
    Lines().clear();
    m_previous = SetTraceSink([](const char* line) { Lines().emplace_back(line); });
  }
  ~TraceRecorder() { SetTraceSink(m_previous); }
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  // Every line, each with its final line feed.
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  // Whether a line equal to `text` plus a line feed was traced.
  [[nodiscard]] bool Has(const std::string& text) const {
    return std::find(Lines().begin(), Lines().end(), text + "\n") != Lines().end();
  }
  // How many lines start with `prefix`.
  [[nodiscard]] int CountStartingWith(const std::string& prefix) const {
    return static_cast<int>(std::count_if(Lines().begin(), Lines().end(),
                                          [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
  }

 private:
  TraceSink m_previous;
};
