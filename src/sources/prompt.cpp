// from_prompt: the OS layer reads the line into locked scratch while the interpreter lock is
// released; its hooks take the lock back for the signal handlers and getpass's warning.
#include "sources/prompt.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "frame/binding.hpp"
#include "frame/pure/binding_messages.hpp"
#include "frame/results.hpp"
#include "secret/os_terminal.hpp"
#include "sources/platform.hpp"
#include "sources/scratch.hpp"
#include "sources/specs.hpp"
#include "sources/vault_maker.hpp"

namespace hush_vault::sources {
namespace {

namespace os = secret::os;
using frame::propagate;

constexpr std::string_view default_prompt = "Password: ";
// getpass's words where echo cannot be turned off: the warning, and the line before the prompt.
constexpr const char* echo_warning = "Can not control echo on the terminal.";
constexpr std::string_view echo_notice = "Warning: Password input may be echoed.\n";
// Room for the longest line kept and its "\r\n".
constexpr std::size_t room_limit = prompt_max_line + 2;

VaultError prompt_error(PyObject* exception_class, std::string_view text) noexcept {
    Text message = frame::full_name(from_prompt_spec);
    message += text;
    return VaultError::make(exception_class, std::move(message));
}

// str(prompt) as UTF-8, what UTF-8 cannot hold replaced, as getpass writes it.
Result<Text> prompt_text(PyObject* prompt) noexcept {
    if (prompt == nullptr) {
        return Text(default_prompt);
    }
    Ref text = Ref::steal(PyObject_Str(prompt));
    Ref encoded =
        text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "replace")) : Ref();
    if (!encoded) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return Text(PyBytes_AS_STRING(encoded.get()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// What the interpreter holds for the standard streams goes out before the prompt does, which is
// written below them, straight to the terminal or descriptor.
Result<bool> flush_standard_streams() noexcept {
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        if (stream == nullptr || stream == Py_None) {
            continue;
        }
        Ref flushed = Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
        if (!flushed) {
            return Unexpected(VaultError::take_pending_or_system_error());
        }
    }
    return true;
}

// getpass.GetPassWarning, so that filters written for getpass apply. False with the error
// pending when the warning is an error, or the warning cannot be given.
bool warn_echo_uncontrolled() noexcept {
    Ref getpass = Ref::steal(PyImport_ImportModule("getpass"));
    Ref category =
        getpass ? Ref::steal(PyObject_GetAttrString(getpass.get(), "GetPassWarning")) : Ref();
    return category && PyErr_WarnEx(category.get(), echo_warning, 1) == 0;
}

// One prompt: the scratch the line goes into, and the hooks the OS layer calls while it waits.
class PromptSession {
  public:
    PromptSession(Scratch line, Scratch units) noexcept
        : line_(std::move(line)), units_(std::move(units)) {}

    // Runs the prompt with the interpreter lock released; returns with it held again.
    os::PromptOutcome run(std::string_view prompt) noexcept {
        const os::PromptHooks hooks{this, echo_uncontrolled, interrupted, more_room};
        const os::LineBuffer into{
            room(), {reinterpret_cast<char16_t*>(units_.data()), os::prompt_units_needed()}};
        released_ = PyEval_SaveThread();
        os::PromptOutcome outcome = os::prompt_for_line(prompt, echo_notice, into, hooks);
        PyEval_RestoreThread(released_);
        return outcome;
    }

    [[nodiscard]] std::span<const std::uint8_t> line(std::size_t length) noexcept {
        return {line_.data(), length};
    }
    [[nodiscard]] const std::optional<secret::LockFailure>& refused() const noexcept {
        return refused_;
    }

  private:
    template <class Call>
    bool holding_interpreter(Call call) noexcept {
        PyEval_RestoreThread(released_);
        const bool result = call();
        released_ = PyEval_SaveThread();
        return result;
    }

    static bool echo_uncontrolled(void* context) noexcept {
        return static_cast<PromptSession*>(context)->holding_interpreter(warn_echo_uncontrolled);
    }

    // The signal handlers run, and their exception (KeyboardInterrupt) ends the prompt.
    static bool interrupted(void* context) noexcept {
        return static_cast<PromptSession*>(context)->holding_interpreter(
            [] { return PyErr_CheckSignals() == 0; });
    }

    // Twice the room, up to the limit. Needs no interpreter: a refused lock is kept for later.
    static std::span<std::uint8_t> more_room(void* context, std::span<std::uint8_t> full) noexcept {
        auto& self = *static_cast<PromptSession*>(context);
        if (full.size() >= room_limit) {
            return full;
        }
        self.line_.set_length(full.size());
        auto grown = self.line_.grow(std::min(self.line_.capacity() * 2, room_limit));
        if (!grown) {
            self.refused_ = grown.error();
            return {};
        }
        return self.room();
    }

    std::span<std::uint8_t> room() noexcept {
        return {line_.data(), std::min(line_.capacity(), room_limit)};
    }

    Scratch line_;
    Scratch units_;
    std::optional<secret::LockFailure> refused_;
    PyThreadState* released_ = nullptr;
};

// The error a prompt that kept no line ends with.
VaultError prompt_failure(const os::PromptOutcome& outcome, const PromptSession& session) noexcept {
    switch (outcome.end) {
        case os::PromptEnd::end_of_file:  // before any text
            return prompt_error(PyExc_EOFError, message::prompt_end_of_input);
        case os::PromptEnd::stopped:
            if (session.refused()) {
                return lock_refused(*session.refused());
            }
            return VaultError::take_pending_or_system_error();
        case os::PromptEnd::failed: {
            VaultError error = os_error(outcome.error, nullptr);
            Text note = frame::full_name(from_prompt_spec);
            note += ": ";
            note += outcome.call;
            note += " failed";
            error.add_note(note);
            return error;
        }
        case os::PromptEnd::line:
        case os::PromptEnd::too_long:
            break;
    }
    Text message(message::prompt_too_long);
    message += secret::decimal(prompt_max_line);
    message += message::too_large_end;
    return prompt_error(PyExc_ValueError, message);
}

Result<Ref> from_prompt_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const auto& spec = from_prompt_spec;
    auto bound = frame::bind_fastcall(spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto options = vault_options(spec, (*bound)[1], (*bound)[2]);
    if (!options) return propagate(options);
    auto prompt = prompt_text((*bound)[0]);
    if (!prompt) return propagate(prompt);
    auto flushed = flush_standard_streams();
    if (!flushed) return propagate(flushed);
    // One page is room for any line a terminal's line editor holds; more is locked as needed.
    auto line = Scratch::reserve(1);
    if (!line) return Unexpected(lock_refused(line.error()));
    Scratch units;
    if (os::prompt_units_needed() != 0) {
        auto reserved = Scratch::reserve(os::prompt_units_needed() * sizeof(char16_t));
        if (!reserved) return Unexpected(lock_refused(reserved.error()));
        units = std::move(*reserved);
    }
    PromptSession session(std::move(*line), std::move(units));
    const os::PromptOutcome outcome = session.run(*prompt);
    if (!os::ended_a_line(outcome) || outcome.length > prompt_max_line) {
        return Unexpected(prompt_failure(outcome, session));
    }
    return make_vault(session.line(outcome.length), *options);
}

}  // namespace

namespace entries {

PyObject* from_prompt(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return frame::finish(from_prompt_call(args, nargs, kwnames));
}

}  // namespace entries
}  // namespace hush_vault::sources
