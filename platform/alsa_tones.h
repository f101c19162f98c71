// Beep on Linux: a sine tone on an ALSA output, soft-edged so that it does not crack. The
// output is opened on the first tone and kept until the generator is destroyed; when it
// cannot be opened (no audio device, as on build machines) every tone returns at once.
// One thread only: Beep blocks the caller until the tone has played.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/tones.h"

struct _snd_pcm;

// Rate the samples are rendered at; ALSA resamples when the device wants another.
inline constexpr unsigned kToneSampleRate = 48000;
// Length of the raised-cosine fade at each end of a tone.
inline constexpr unsigned kToneFadeMs = 5;
// Peak of the sine as a share of full scale: audible, not startling.
inline constexpr double kToneAmplitude = 0.3;

// The mono S16 samples of one tone: `duration_ms` of a `frequency_hz` sine at `sample_rate`,
// faded in and out over kToneFadeMs (over half the tone each when it is shorter than two
// fades). Empty for a zero duration or rate.
std::vector<int16_t> RenderTone(unsigned frequency_hz, unsigned duration_ms,
                                unsigned sample_rate = kToneSampleRate);

class AlsaTones final : public ToneGenerator {
 public:
  // `device` is an ALSA PCM name: the user's default output unless a test names another.
  explicit AlsaTones(std::string device = "default");
  ~AlsaTones() override;
  AlsaTones(const AlsaTones&) = delete;
  AlsaTones& operator=(const AlsaTones&) = delete;

  // Plays the tone and returns once it has been heard; at once without an output.
  void Beep(unsigned frequency_hz, unsigned duration_ms) override;

  // True once the output could not be opened or failed for good; silent from then on.
  [[nodiscard]] bool Unavailable() const { return m_unavailable; }

 private:
  // Opens the output on first use; false (at once) once it has failed.
  bool Open();
  void GiveUp();

  std::string m_device;
  _snd_pcm* m_pcm = nullptr;
  bool m_unavailable = false;
};
