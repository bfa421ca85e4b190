// Run control: the process-wide flags, the interrupt handler and the console
// message writer that every part of the tool shares. It includes nothing of
// the tool's above the seam, so every part may include it.
#pragma once

#include <atomic>
#include <initializer_list>

#include "Platform/Platform.h"

namespace qor {

// True from start; the first interrupt clears it and nothing sets it again.
// Written from a signal handler, so it must be a lock-free single byte.
extern std::atomic<bool> RunFlag;
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == 1);

// Set by option s; while set, PrintMessage writes nothing.
extern bool SilentFlag;

// Clears RunFlag and does nothing else; safe in a signal handler.
void OnInterrupt(int signalNumber);

// One value inserted into a message: a string for "%s", a number for "%d".
class MessageArg {
 public:
  MessageArg(StringView text)
      : text_(text), isText_(true) {}  // NOLINT(google-explicit-constructor)
  MessageArg(const Char* text)
      : text_(text != nullptr ? text : L""),
        isText_(true) {}                       // NOLINT(google-explicit-constructor)
  MessageArg(int number) : number_(number) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool IsText() const { return isText_; }
  [[nodiscard]] StringView Text() const { return text_; }
  [[nodiscard]] int Number() const { return number_; }

 private:
  StringView text_;
  int number_ = 0;
  bool isText_ = false;
};

// Fills each "%s" or "%d" of `format` with the next of `args` (a string or a
// number), and writes the result as single-byte text: each character up to
// U+00FF as the byte of that value, any other as '?'. The tool's messages use
// no other directive. Writes nothing while SilentFlag is set.
void PrintMessage(Platform& platform, StringView format, std::initializer_list<MessageArg> args);

inline void PrintMessage(Platform& platform, StringView format) {
  PrintMessage(platform, format, {});
}

}  // namespace qor
