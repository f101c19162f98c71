#include "platform/alsa_tones.h"

#include <alsa/asoundlib.h>
#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "platform/trace.h"

namespace {

// How far ahead the device may buffer; Beep drains it before returning anyway.
constexpr unsigned kLatencyUs = 100000;

// ALSA's own complaints go to stderr by default; our one trace line says what failed.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

std::vector<int16_t> RenderTone(unsigned frequency_hz, unsigned duration_ms, unsigned sample_rate) {
  const std::size_t count = static_cast<std::size_t>(uint64_t{sample_rate} * duration_ms / 1000);
  std::vector<int16_t> samples(count);
  if (count == 0) return samples;
  const std::size_t fade =
      std::min<std::size_t>(uint64_t{sample_rate} * kToneFadeMs / 1000, count / 2);
  const double step = 2 * std::numbers::pi * frequency_hz / sample_rate;
  const double peak = 32767 * kToneAmplitude;
  for (std::size_t i = 0; i < count; ++i) {
    // A raised cosine from silence to full level and back keeps both ends free of clicks.
    const std::size_t edge = std::min(i, count - 1 - i);
    const double gain =
        edge < fade ? 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(edge) / fade)
                    : 1.0;
    samples[i] = static_cast<int16_t>(std::lround(peak * gain * std::sin(step * i)));
  }
  return samples;
}

AlsaTones::AlsaTones(std::string device) : m_device(std::move(device)) {}

AlsaTones::~AlsaTones() {
  if (m_pcm != nullptr) snd_pcm_close(m_pcm);
}

bool AlsaTones::Open() {
  if (m_pcm != nullptr) return true;
  if (m_unavailable) return false;
  snd_lib_error_set_handler(QuietAlsa);
  // Opened without blocking, so that an output held by another program cannot hang the
  // window; writing blocks again, because Beep must last as long as its tone.
  int error = snd_pcm_open(&m_pcm, m_device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (error >= 0) error = snd_pcm_nonblock(m_pcm, 0);
  if (error >= 0) {
    error = snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                               kToneSampleRate, 1, kLatencyUs);
  }
  if (error < 0) {
    Trace("AlsaTones::Open(%s) failed(%s)", m_device.c_str(), snd_strerror(error));
    GiveUp();
    return false;
  }
  return true;
}

void AlsaTones::GiveUp() {
  if (m_pcm != nullptr) snd_pcm_close(m_pcm);
  m_pcm = nullptr;
  m_unavailable = true;
}

void AlsaTones::Beep(unsigned frequency_hz, unsigned duration_ms) {
  if (duration_ms == 0 || !Open()) return;
  const std::vector<int16_t> samples = RenderTone(frequency_hz, duration_ms);
  const int16_t* next = samples.data();
  snd_pcm_uframes_t left = samples.size();
  while (left > 0) {
    snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, next, left);
    if (written < 0) {
      const int error = snd_pcm_recover(m_pcm, static_cast<int>(written), 1);
      if (error < 0) {
        Trace("AlsaTones::Beep snd_pcm_writei failed(%s)", snd_strerror(error));
        GiveUp();
        return;
      }
      continue;
    }
    next += written;
    left -= static_cast<snd_pcm_uframes_t>(written);
  }
  // Returns once the last sample has been played; then the output is ready for the next.
  snd_pcm_drain(m_pcm);
  snd_pcm_prepare(m_pcm);
}
