// Protects the tones: the samples start and end in silence and carry the asked frequency for
// the asked time, and a machine without sound gets silence at once, not errors or waits.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/alsa_tones.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr double kPeak = 32767 * kToneAmplitude;

// Sign changes between non-zero samples: two per period of a clean sine.
int ZeroCrossings(const std::vector<int16_t>& samples) {
  int crossings = 0;
  int previous = 0;
  for (int16_t sample : samples) {
    if (sample == 0) continue;
    const int sign = sample > 0 ? 1 : -1;
    if (previous != 0 && sign != previous) ++crossings;
    previous = sign;
  }
  return crossings;
}

TEST(RenderTone, TheProgramsTonesHaveLengthFrequencyAndSoftEdges) {
  struct Case {
    unsigned frequency_hz;
    unsigned duration_ms;
  } cases[] = {{8372, 40}, {1047, 100}, {1245, 100}, {1319, 100}, {1568, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.frequency_hz) + " Hz");
    const std::vector<int16_t> samples = RenderTone(c.frequency_hz, c.duration_ms);
    ASSERT_EQ(samples.size(), kToneSampleRate / 1000 * c.duration_ms);

    const double periods = c.frequency_hz * c.duration_ms / 1000.0;
    EXPECT_NEAR(ZeroCrossings(samples) / 2.0, periods, 1.0);

    // A click is a jump: the first and last samples are silent, and neither end moves by
    // more than the fade allows per sample.
    EXPECT_EQ(samples.front(), 0);
    EXPECT_LE(std::abs(samples.back()), 1);
    const std::size_t one_ms = kToneSampleRate / 1000;
    for (std::size_t i = 0; i < one_ms; ++i) {
      EXPECT_LT(std::abs(samples[i]), kPeak * 0.1) << "start, sample " << i;
      EXPECT_LT(std::abs(samples[samples.size() - 1 - i]), kPeak * 0.1) << "end, sample " << i;
    }

    // Between the fades the tone is at full level.
    int loudest = 0;
    const std::size_t fade = kToneSampleRate / 1000 * kToneFadeMs;
    for (std::size_t i = fade; i < samples.size() - fade; ++i)
      loudest = std::max(loudest, std::abs(static_cast<int>(samples[i])));
    EXPECT_NEAR(loudest, kPeak, kPeak * 0.05);
  }
}

TEST(RenderTone, ShortAndEmptyTones) {
  EXPECT_TRUE(RenderTone(1000, 0).empty());
  EXPECT_TRUE(RenderTone(1000, 100, 0).empty());
  // Shorter than two fades: still silent at both ends, and never louder than the peak.
  const std::vector<int16_t> samples = RenderTone(1000, 4);
  ASSERT_EQ(samples.size(), kToneSampleRate / 1000 * 4);
  EXPECT_EQ(samples.front(), 0);
  EXPECT_LE(std::abs(samples.back()), 1);
  for (int16_t sample : samples) EXPECT_LE(std::abs(sample), kPeak + 1);
}

TEST(AlsaTones, OutputThatCannotBeOpenedIsTracedOnceAndSilentFromThenOn) {
  TraceRecorder trace;
  AlsaTones tones("tarovue_no_such_output");
  const auto start = SteadyClock::now();
  for (int i = 0; i < 5; ++i) tones.Beep(1047, 100);
  EXPECT_LT(SteadyClock::now() - start, 100ms) << "five 100 ms tones, none played";
  EXPECT_TRUE(tones.Unavailable());
  EXPECT_EQ(trace.CountStartingWith("AlsaTones::Open(tarovue_no_such_output) failed("), 1);
  EXPECT_EQ(TraceRecorder::Lines().size(), 1u);
}

// The default output: on a machine with sound the tone is heard in full before Beep returns;
// on one without (build machines) Beep returns at once.
TEST(AlsaTones, DefaultOutputBlocksForTheToneOrReturnsAtOnce) {
  TraceRecorder trace;
  AlsaTones tones;
  tones.Beep(1047, 1);  // opens the output, if there is one
  const auto start = SteadyClock::now();
  tones.Beep(1319, 150);
  const auto took = SteadyClock::now() - start;
  if (tones.Unavailable()) {
    EXPECT_LT(took, 50ms);
    EXPECT_EQ(trace.CountStartingWith("AlsaTones::Open(default) failed("), 1);
  } else {
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 1000ms);
  }
}

// ALSA's null output takes samples without a device, so it runs everywhere: after one tone
// has drained, the output must be ready for the next, not given up.
TEST(AlsaTones, ConsecutiveTonesKeepTheOutput) {
  TraceRecorder trace;
  AlsaTones tones("null");
  for (int i = 0; i < 3; ++i) tones.Beep(1047 + 200 * i, 20);
  EXPECT_FALSE(tones.Unavailable());
  EXPECT_TRUE(TraceRecorder::Lines().empty());
}

TEST(AlsaTones, ZeroDurationDoesNotEvenOpenTheOutput) {
  TraceRecorder trace;
  AlsaTones tones("tarovue_no_such_output");
  tones.Beep(1047, 0);
  EXPECT_FALSE(tones.Unavailable());
  EXPECT_TRUE(TraceRecorder::Lines().empty());
}

}  // namespace
