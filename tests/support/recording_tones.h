// A tone generator for tests: remembers every tone instead of playing it.
#pragma once

#include <utility>
#include <vector>

#include "platform/tones.h"

class RecordingTones final : public ToneGenerator {
 public:
  using Entry = std::pair<unsigned, unsigned>;  // frequency in Hz, duration in ms

  void Beep(unsigned frequency_hz, unsigned duration_ms) override {
    m_played.emplace_back(frequency_hz, duration_ms);
  }

  // Every tone since construction or the last Clear(), in the order played.
  [[nodiscard]] const std::vector<Entry>& Played() const { return m_played; }
  void Clear() { m_played.clear(); }

 private:
  std::vector<Entry> m_played;
};
