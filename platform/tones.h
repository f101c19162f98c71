// Acoustic signals. Beep plays one tone and returns when it has ended; a generator without
// an audio device returns at once.
#pragma once

class ToneGenerator {
 public:
  virtual ~ToneGenerator() = default;
  virtual void Beep(unsigned frequency_hz, unsigned duration_ms) = 0;
};

// Plays nothing; for front ends without sound.
class SilentTones final : public ToneGenerator {
 public:
  void Beep(unsigned, unsigned) override {}
};
