// The prompt over POSIX: the controlling terminal through termios, echo off while the line is
// read a byte at a time, so that nothing past the line is taken from the terminal or a pipe.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "fault_injection.hpp"
#include "line_reader.hpp"
#include "os_terminal.hpp"

namespace hush_vault::secret::os {
namespace {

using inject::Call;

// Every system call of the prompt, one function each, so that each can be failed on purpose.
int call_open(const char* path, int flags) noexcept {
    return inject::fails(Call::open) ? -1 : open(path, flags);  // NOLINT(*-pro-type-vararg)
}
void call_close(int fd) noexcept {
    // Linux frees the descriptor even when close reports a failure: an injected one still closes.
    static_cast<void>(inject::fails(Call::close));
    close(fd);
}
int call_poll(pollfd* fds, nfds_t n, int timeout_ms) noexcept {
    return inject::fails(Call::terminal) ? -1 : poll(fds, n, timeout_ms);
}
ssize_t call_read(int fd, void* into, std::size_t n) noexcept {
    return inject::fails(Call::read) ? -1 : read(fd, into, n);
}
ssize_t call_write(int fd, const void* from, std::size_t n) noexcept {
    return inject::fails(Call::terminal) ? -1 : write(fd, from, n);
}
int call_tcgetattr(int fd, termios* mode) noexcept {
    return inject::fails(Call::terminal) ? -1 : tcgetattr(fd, mode);
}
int call_tcsetattr(int fd, int when, const termios* mode) noexcept {
    return inject::fails(Call::terminal) ? -1 : tcsetattr(fd, when, mode);
}

// Discards input not yet read when the mode changes: typed-ahead text is not taken for the line,
// and what is left of it afterwards does not reach the next reader with echo on. TCSASOFT (BSD)
// leaves the line's speed and size alone.
#if defined(TCSASOFT)
constexpr int mode_change = TCSAFLUSH | TCSASOFT;
#else
constexpr int mode_change = TCSAFLUSH;
#endif

PromptOutcome outcome(PromptEnd end, std::size_t length = 0) noexcept {
    return {end, length, error_success, nullptr};
}

PromptOutcome failure(const char* call) noexcept {
    return {PromptEnd::failed, 0, static_cast<ErrorCode>(errno), call};
}

// Where the prompt is written and the line read, and the terminal mode to put back.
class Channel {
  public:
    Channel() noexcept = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    Channel(Channel&&) = delete;
    Channel& operator=(Channel&&) = delete;
    ~Channel() {
        if (owned_ >= 0) {
            call_close(owned_);
        }
    }

    // The controlling terminal, else standard input when it is a terminal itself (the prompt then
    // goes to standard error); false when neither is. On true, echo is off.
    bool hide_echo() noexcept {
        owned_ = call_open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (owned_ >= 0 && echo_off(owned_)) {
            input_ = output_ = owned_;
            return true;
        }
        if (owned_ >= 0) {
            call_close(owned_);
            owned_ = -1;
        }
        return echo_off(STDIN_FILENO);
    }

    // Puts the saved mode back, retrying when a signal cuts the wait for output to drain: the
    // terminal must not stay silent whatever the caller decides about the signal.
    bool restore() noexcept {
        if (!saved_valid_) {
            return true;
        }
        while (call_tcsetattr(input_, mode_change, &saved_) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        saved_valid_ = false;
        return true;
    }

    [[nodiscard]] int input() const noexcept { return input_; }
    [[nodiscard]] int output() const noexcept { return output_; }

  private:
    bool echo_off(int fd) noexcept {
        termios mode{};
        if (call_tcgetattr(fd, &mode) != 0) {
            return false;
        }
        saved_ = mode;
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        while (call_tcsetattr(fd, mode_change, &mode) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        input_ = fd;
        saved_valid_ = true;
        return true;
    }

    int owned_ = -1;
    int input_ = STDIN_FILENO;
    int output_ = STDERR_FILENO;
    termios saved_{};
    bool saved_valid_ = false;
};

// Writes all of text; false with the outcome set when a hook stops it or the call fails.
bool write_all(int fd, std::string_view text, const PromptHooks& hooks,
               PromptOutcome& result) noexcept {
    while (!text.empty()) {
        ssize_t written = call_write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR && hooks.interrupted(hooks.context)) {
                continue;
            }
            result = errno == EINTR ? outcome(PromptEnd::stopped) : failure("write");
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// One byte of the line from fd, waiting out the signals the hook lets pass. The wait is cut into
// slices: a signal that lands just before a blocking read interrupts nothing, and Ctrl-C also
// discards the line typed so far, so nothing might ever end that read.
std::optional<PromptOutcome> read_byte(int fd, std::uint8_t* into,
                                       const PromptHooks& hooks) noexcept {
    constexpr int slice_ms = 100;
    while (true) {
        pollfd wanted{fd, POLLIN, 0};
        const int ready = call_poll(&wanted, 1, slice_ms);
        ssize_t got = -1;
        if (ready > 0) {
            got = call_read(fd, into, 1);
            if (got >= 0) {
                return got > 0 ? std::nullopt : std::optional(outcome(PromptEnd::end_of_file));
            }
        }
        if (ready < 0 && errno != EINTR) {
            return failure("poll");
        }
        if (got < 0 && ready > 0 && errno != EINTR && errno != EAGAIN) {
            return failure("read");
        }
        if (!hooks.interrupted(hooks.context)) {
            return outcome(PromptEnd::stopped);
        }
    }
}

}  // namespace

std::size_t prompt_units_needed() noexcept {
    return 0;
}

PromptOutcome prompt_for_line(std::string_view prompt, std::string_view notice, LineBuffer into,
                              const PromptHooks& hooks) noexcept {
    Channel channel;
    PromptOutcome result = outcome(PromptEnd::stopped);
    if (!channel.hide_echo()) {
        if (!hooks.echo_uncontrolled(hooks.context) ||
            !write_all(channel.output(), notice, hooks, result)) {
            return result;
        }
    }
    if (write_all(channel.output(), prompt, hooks, result)) {
        result = read_line(into.bytes, hooks, [&](std::uint8_t* byte) {
            return read_byte(channel.input(), byte, hooks);
        });
    }
    if (!channel.restore() && result.end != PromptEnd::stopped) {
        return failure("tcsetattr");
    }
    if (ended_a_line(result)) {
        write_all(channel.output(), "\n", hooks, result);
    }
    return result;
}

}  // namespace hush_vault::secret::os
