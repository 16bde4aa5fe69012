// The prompt over the Windows console: CONIN$ in line mode with echo off, read a UTF-16 unit at
// a time into the caller's locked units and handed on as UTF-8 (Utf16Bytes) into its bytes.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <optional>

#include "fault_injection.hpp"
#include "line_reader.hpp"
#include "os_terminal.hpp"
#include "utf8.hpp"  // the prompt as UTF-16

namespace hush_vault::secret::os {
namespace {

using inject::Call;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// Every system call of the prompt, one function each, so that each can be failed on purpose.
HANDLE call_create_file(const wchar_t* name) noexcept {
    return inject::fails(Call::open)
               ? INVALID_HANDLE_VALUE
               : CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
}
BOOL call_close_handle(HANDLE handle) noexcept {
    // A handle is closed even when the close is made to fail: nothing was written through it.
    const bool failed = inject::fails(Call::close);
    return CloseHandle(handle) != FALSE && !failed ? TRUE : FALSE;
}
HANDLE call_get_std_handle(DWORD which) noexcept {
    return GetStdHandle(which);
}
BOOL call_get_console_mode(HANDLE console, DWORD* mode) noexcept {
    return !inject::fails(Call::terminal) && GetConsoleMode(console, mode) != FALSE ? TRUE : FALSE;
}
BOOL call_set_console_mode(HANDLE console, DWORD mode) noexcept {
    return !inject::fails(Call::terminal) && SetConsoleMode(console, mode) != FALSE ? TRUE : FALSE;
}
BOOL call_read_console(HANDLE console, char16_t* into, DWORD* got) noexcept {
    return !inject::fails(Call::read) && ReadConsoleW(console, into, 1, got, nullptr) != FALSE
               ? TRUE
               : FALSE;
}
BOOL call_write_console(HANDLE console, const char16_t* from, DWORD n, DWORD* written) noexcept {
    return !inject::fails(Call::terminal) &&
                   WriteConsoleW(console, from, n, written, nullptr) != FALSE
               ? TRUE
               : FALSE;
}
BOOL call_read_file(HANDLE file, std::uint8_t* into, DWORD* got) noexcept {
    return !inject::fails(Call::read) && ReadFile(file, into, 1, got, nullptr) != FALSE ? TRUE
                                                                                        : FALSE;
}
BOOL call_write_file(HANDLE file, const char* from, DWORD n, DWORD* written) noexcept {
    return !inject::fails(Call::terminal) && WriteFile(file, from, n, written, nullptr) != FALSE
               ? TRUE
               : FALSE;
}
void call_sleep(DWORD milliseconds) noexcept {
    Sleep(milliseconds);
}

PromptOutcome outcome(PromptEnd end) noexcept {
    return {end, 0, error_success, nullptr};
}

PromptOutcome failure(const char* call) noexcept {
    return {PromptEnd::failed, 0, GetLastError(), call};
}

bool usable(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// The console, echo off, or standard input and error when there is none.
class Channel {
  public:
    Channel() noexcept = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    Channel(Channel&&) = delete;
    Channel& operator=(Channel&&) = delete;
    ~Channel() {
        for (HANDLE handle : {input_, output_}) {
            if (console_ && usable(handle)) {
                call_close_handle(handle);
            }
        }
    }

    // True with echo off when the process has a console; else the channel is standard input and
    // standard error.
    bool hide_echo() noexcept {
        input_ = call_create_file(L"CONIN$");
        output_ = call_create_file(L"CONOUT$");
        console_ = true;
        DWORD mode = 0;
        if (usable(input_) && usable(output_) && call_get_console_mode(input_, &mode) != FALSE &&
            // Line mode edits the line (backspace) in the console; processed input turns Ctrl-C
            // into the interpreter's signal instead of a character in the line.
            call_set_console_mode(input_, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) |
                                              ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) !=
                FALSE) {
            saved_ = mode;
            return true;
        }
        for (HANDLE handle : {input_, output_}) {
            if (usable(handle)) {
                call_close_handle(handle);
            }
        }
        console_ = false;
        input_ = call_get_std_handle(STD_INPUT_HANDLE);
        output_ = call_get_std_handle(STD_ERROR_HANDLE);
        return false;
    }

    bool restore() noexcept {
        if (!saved_) {
            return true;
        }
        if (call_set_console_mode(input_, *saved_) == FALSE) {
            return false;
        }
        saved_.reset();
        return true;
    }

    [[nodiscard]] bool console() const noexcept { return console_; }
    [[nodiscard]] HANDLE input() const noexcept { return input_; }
    [[nodiscard]] HANDLE output() const noexcept { return output_; }

  private:
    HANDLE input_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    bool console_ = false;
    std::optional<DWORD> saved_;
};

// Writes UTF-8 text: as UTF-16 to the console, as it is elsewhere. False on failure.
bool write_text(const Channel& channel, std::string_view text) noexcept {
    if (!channel.console()) {
        while (!text.empty()) {
            DWORD written = 0;
            if (call_write_file(channel.output(), text.data(), static_cast<DWORD>(text.size()),
                                &written) == FALSE) {
                return false;
            }
            text.remove_prefix(written);
        }
        return true;
    }
    ScrubbedBuffer<char16_t> units =
        utf8_to_utf16(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::size_t sent = 0;
    while (sent < units.length()) {
        DWORD written = 0;
        if (call_write_console(channel.output(), units.data() + sent,
                               static_cast<DWORD>(units.length() - sent), &written) == FALSE) {
            return false;
        }
        sent += written;
    }
    return true;
}

// A byte of standard input; a pipe's closed write end is the end of input.
std::optional<PromptOutcome> read_file_byte(HANDLE input, std::uint8_t* into) noexcept {
    DWORD got = 0;
    if (call_read_file(input, into, &got) == FALSE) {
        return GetLastError() == ERROR_BROKEN_PIPE ? outcome(PromptEnd::end_of_file)
                                                   : failure("ReadFile");
    }
    return got == 0 ? std::optional(outcome(PromptEnd::end_of_file)) : std::nullopt;
}

// One unit of the console's line, waiting out the signals the hook lets pass.
std::optional<PromptOutcome> read_console_unit(HANDLE input, char16_t* into,
                                               const PromptHooks& hooks) noexcept {
    while (true) {
        DWORD got = 0;
        const BOOL read = call_read_console(input, into, &got);
        if (read != FALSE && got == 1) {
            return std::nullopt;
        }
        if (read == FALSE && GetLastError() != ERROR_OPERATION_ABORTED) {
            return failure("ReadConsoleW");
        }
        // Ctrl-C or Ctrl-Break cut the read short. The interpreter's handler runs on a thread of
        // its own: give it a moment to flag the signal before asking about it.
        call_sleep(100);
        if (!hooks.interrupted(hooks.context)) {
            return outcome(PromptEnd::stopped);
        }
    }
}

}  // namespace

std::size_t prompt_units_needed() noexcept {
    return 2;
}

PromptOutcome prompt_for_line(std::string_view prompt, std::string_view notice, LineBuffer into,
                              const PromptHooks& hooks) noexcept {
    if (into.units.size() < prompt_units_needed()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return failure("ReadConsoleW");
    }
    Channel channel;
    if (!channel.hide_echo()) {
        if (!hooks.echo_uncontrolled(hooks.context)) {
            return outcome(PromptEnd::stopped);
        }
        if (!write_text(channel, notice)) {
            return failure("WriteFile");
        }
    }
    PromptOutcome result = outcome(PromptEnd::stopped);
    if (!write_text(channel, prompt)) {
        result = failure(channel.console() ? "WriteConsoleW" : "WriteFile");
    } else if (channel.console()) {
        Utf16Bytes console(into.units, [&](char16_t* unit) {
            return read_console_unit(channel.input(), unit, hooks);
        });
        result = read_line(into.bytes, hooks, console);
    } else {
        result = read_line(into.bytes, hooks, [&](std::uint8_t* byte) {
            return read_file_byte(channel.input(), byte);
        });
    }
    if (!channel.restore() && result.end != PromptEnd::stopped) {
        return failure("SetConsoleMode");
    }
    if (ended_a_line(result) && !write_text(channel, "\r\n")) {
        return failure(channel.console() ? "WriteConsoleW" : "WriteFile");
    }
    return result;
}

}  // namespace hush_vault::secret::os
