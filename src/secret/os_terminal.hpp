// One line read from the user with echo off, straight into memory the caller has locked.
// os_terminal_posix.cpp reads the controlling terminal through termios, os_terminal_windows.cpp
// the console; both fall back to standard input, unechoed or not, when there is no terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "os.hpp"

namespace hush_vault::secret::os {

// Where the line goes. Both spans lie in locked memory the caller zeroes after use.
struct LineBuffer {
    // The line's bytes as typed, without its end. When it fills, PromptHooks::more_room decides.
    std::span<std::uint8_t> bytes;
    // Scratch for what the console delivers before it becomes UTF-8: prompt_units_needed() units
    // (two on Windows, for a surrogate pair; none elsewhere).
    std::span<char16_t> units;
};

// What the caller decides while a prompt runs. Every call comes from the reading thread.
struct PromptHooks {
    void* context;
    // No terminal can hide the line: called once, before anything is written or read. On true
    // the prompt goes to standard error and the line is read from standard input as typed; on
    // false the prompt stops.
    bool (*echo_uncontrolled)(void* context) noexcept;
    // A signal interrupted a wait, or may have come just before it (POSIX also asks every tenth
    // of a second while the wait goes on). On true the wait resumes; on false the prompt stops.
    bool (*interrupted)(void* context) noexcept;
    // `full` (the bytes so far) has no room left and the line goes on: the span to go on in,
    // larger and starting with the same bytes (`full` is not used again); `full` itself when the
    // line may not grow (too long); an empty span stops the prompt.
    std::span<std::uint8_t> (*more_room)(void* context, std::span<std::uint8_t> full) noexcept;
};

enum class PromptEnd {
    line,         // a line ended by a line feed (with a carriage return before it, if any)
    end_of_file,  // input ended; length holds what was read before it, 0 when nothing was
    too_long,     // the line outgrew the room it may have; the rest of it was read and dropped
    stopped,      // a hook returned false
    failed,       // a system call failed: error holds its code, call its name
};

struct PromptOutcome {
    PromptEnd end;
    std::size_t length;  // bytes of the line, at the start of the last span the line was read into
    ErrorCode error;
    const char* call;
};

// A line was read: ended by a line feed, or by the end of input after some text (a line getpass
// returns as well).
[[nodiscard]] inline bool ended_a_line(const PromptOutcome& result) noexcept {
    return result.end == PromptEnd::line ||
           (result.end == PromptEnd::end_of_file && result.length > 0);
}

// The UTF-16 units LineBuffer::units must hold on this system.
[[nodiscard]] std::size_t prompt_units_needed() noexcept;

// Writes prompt (UTF-8) where the user sees it, reads one line with echo off into into.bytes,
// then restores the terminal's mode and writes a line end after a line that was read. Without a
// terminal, notice goes to standard error before the prompt. The mode is restored whatever the
// outcome; a restore that fails turns any outcome but `stopped` into `failed`. The rest of a
// line that is too long is read and dropped; on a POSIX terminal, input typed ahead of the prompt
// or left unread after it is discarded too. No byte of the line is kept anywhere but in `into`
// (the system's own buffers aside).
[[nodiscard]] PromptOutcome prompt_for_line(std::string_view prompt, std::string_view notice,
                                            LineBuffer into, const PromptHooks& hooks) noexcept;

}  // namespace hush_vault::secret::os
