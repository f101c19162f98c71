// Writes text to standard output (or any sink) from a thread of its own, so that a reader who
// stops reading (a full pipe, a terminal on hold) never stops the event loop. What waits is
// bounded: text that would exceed the bound is dropped and counted. A write error (a closed
// pipe: EPIPE, never SIGPIPE) ends the writing for good. Whatever the sink writes to must
// stay open while the writer lives.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class BackgroundWriter final {
 public:
  // Writes all of a text: 0, or the errno value of the failure. Runs on the writer's thread.
  using Sink = std::function<int(const std::string& text)>;
  // A sink that writes to the file descriptor `fd`.
  static Sink DescriptorSink(int fd);

  BackgroundWriter(Sink sink, std::size_t max_waiting_bytes);
  // Waits up to `kLeaveAfter` for what is queued to be written; a writer still stuck then
  // is left to the process's end.
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  static constexpr std::chrono::milliseconds kLeaveAfter{500};

  // Queues `text`. False, with the text dropped and counted, when it would exceed the bound
  // or writing has failed.
  bool Write(std::string text);
  // Waits until everything queued is written or `bound` passes; true when it was written.
  bool Flush(std::chrono::milliseconds bound);

  // Writes dropped so far.
  [[nodiscard]] uint64_t Dropped() const;
  // The errno value of the write that failed, or 0.
  [[nodiscard]] int Error() const;

  // What the writer shares with its thread; the thread keeps it alive when left behind.
  struct State;

 private:
  std::shared_ptr<State> m_state;
};
