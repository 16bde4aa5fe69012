// from_file, from_fd and from_credential: a file's bytes straight from the kernel into scratch
// memory, then into a vault.
#include "sources/file_source.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/pure/binding_messages.hpp"
#include "frame/results.hpp"
#include "secret/env_lookup.hpp"
#include "sources/entries.hpp"
#include "sources/platform.hpp"
#include "sources/specs.hpp"

namespace hush_vault::sources {
namespace {

using frame::propagate;

// Closes what open_for_reading gave, on every path.
class OpenFile {
  public:
    explicit OpenFile(secret::os::FileHandle file) noexcept : file_(file) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    OpenFile(OpenFile&&) = delete;
    OpenFile& operator=(OpenFile&&) = delete;
    ~OpenFile() { secret::os::close_file(file_); }
    [[nodiscard]] secret::os::FileHandle get() const noexcept { return file_; }

  private:
    secret::os::FileHandle file_;
};

// Runs work() without the interpreter lock, for a call that may block: the system call and the
// last error it leaves, nothing of the interpreter's.
template <class Work>
void without_interpreter_lock(Work&& work) noexcept {
    PyThreadState* thread = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(thread);
}

VaultError too_large(const frame::ArgumentSpec& spec, std::uint64_t max_size) noexcept {
    Text text = frame::full_name(spec);
    text += message::too_large;
    text += secret::decimal(max_size);
    text += message::too_large_end;
    return VaultError::make(PyExc_ValueError, std::move(text));
}

void strip_one_newline(Scratch& scratch) noexcept {
    std::size_t n = scratch.length();
    const std::uint8_t* bytes = scratch.data();
    if (n >= 1 && bytes[n - 1] == '\n') {
        n -= n >= 2 && bytes[n - 2] == '\r' ? 2 : 1;
    }
    scratch.set_length(n);
}

// The arguments every file source shares after its first.
struct FileArguments {
    VaultOptions options;
    ReadLimits limits;
};

Result<FileArguments> file_arguments(const frame::ArgumentSpec& spec,
                                     const frame::BoundArguments& bound) noexcept {
    auto options = vault_options(spec, bound[1], bound[2]);
    if (!options) return propagate(options);
    Text function = frame::full_name(spec);
    auto strip = frame::argument("strip_newline", frame::to_bool(bound[3]), function);
    if (!strip) return propagate(strip);
    std::uint64_t max_size = default_max_size;
    if (bound[4] != nullptr) {
        auto given = frame::argument("max_size", frame::to_u64(bound[4]), function);
        if (!given) return propagate(given);
        max_size = *given;
    }
    return FileArguments{*options, ReadLimits{max_size, *strip}};
}

// Reads the file at path (bytes from PyUnicode_FSConverter) into a vault; errors name `filename`.
Result<Ref> vault_from_path(const char* path, PyObject* filename, const frame::ArgumentSpec& spec,
                            const FileArguments& arguments) noexcept {
    secret::os::FileHandle handle = secret::os::no_file;
    while (true) {
        secret::os::ErrorCode code = 0;
        // Opening a FIFO waits for its writer: other threads run meanwhile, and Ctrl-C ends it.
        without_interpreter_lock([&] {
            handle = secret::os::open_for_reading(path);
            code = handle == secret::os::no_file ? secret::os::last_error() : 0;
        });
        if (handle != secret::os::no_file) {
            break;
        }
        if (!secret::os::interrupted(code)) {
            return Unexpected(os_error(code, filename));
        }
        if (PyErr_CheckSignals() != 0) {
            return Unexpected(VaultError::take_pending_or_system_error());
        }
    }
    OpenFile file(handle);
    auto scratch = read_to_end(file.get(), arguments.limits, spec, filename);
    if (!scratch) return propagate(scratch);
    return make_vault(scratch->bytes(), arguments.options);
}

// The path's bytes as the file system takes them (str, bytes or os.PathLike).
Result<Ref> path_bytes(PyObject* path, const frame::ArgumentSpec& spec) noexcept {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(path, &converted) == 0) {
        return frame::argument("path",
                               Result<Ref>(Unexpected(VaultError::take_pending_or_system_error())),
                               frame::full_name(spec));
    }
    return Ref::steal(converted);
}

Result<Ref> from_file_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    auto bound = frame::bind_fastcall(from_file_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto path = path_bytes((*bound)[0], from_file_spec);
    if (!path) return propagate(path);
    auto arguments = file_arguments(from_file_spec, *bound);
    if (!arguments) return propagate(arguments);
    return vault_from_path(PyBytes_AS_STRING(path->get()), (*bound)[0], from_file_spec, *arguments);
}

Result<Ref> from_fd_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    auto bound = frame::bind_fastcall(from_fd_spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    int fd = PyObject_AsFileDescriptor((*bound)[0]);
    if (fd < 0) {
        return frame::argument("fd",
                               Result<Ref>(Unexpected(VaultError::take_pending_or_system_error())),
                               frame::full_name(from_fd_spec));
    }
    auto arguments = file_arguments(from_fd_spec, *bound);
    if (!arguments) return propagate(arguments);
    auto handle = handle_of_descriptor(fd);
    if (!handle) return propagate(handle);
    auto scratch = read_to_end(*handle, arguments->limits, from_fd_spec, nullptr);
    if (!scratch) return propagate(scratch);
    return make_vault(scratch->bytes(), arguments->options);
}

// A credential is a file directly inside the directory: no separator, not "." or "..".
bool is_file_name(std::string_view name) noexcept {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(secret::os::path_separators()) == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

Result<Ref> from_credential_call(PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    const auto& spec = from_credential_spec;
    auto bound = frame::bind_fastcall(spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto name = frame::argument("name", frame::to_text((*bound)[0]), frame::full_name(spec));
    if (!name) return propagate(name);
    if (!is_file_name(*name)) {
        Text text = frame::full_name(spec);
        text += message::bad_credential_name;
        return Unexpected(VaultError::make(PyExc_ValueError, std::move(text)));
    }
    auto arguments = file_arguments(spec, *bound);
    if (!arguments) return propagate(arguments);
    auto directory = secret::read_env_utf8("CREDENTIALS_DIRECTORY");
    if (!directory || directory->length() == 0) {
        Text text = frame::full_name(spec);
        text += message::no_credentials;
        return Unexpected(VaultError::make(PyExc_FileNotFoundError, std::move(text)));
    }
    // The joined path as a str, both for the error's filename and for the file system's bytes.
    Text joined(directory->data(), directory->length());
    joined += secret::os::path_separators()[0];
    joined += *name;
    Ref filename = Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
    if (!filename) return Unexpected(VaultError::take_pending_or_system_error());
    auto path = path_bytes(filename.get(), spec);
    if (!path) return propagate(path);
    return vault_from_path(PyBytes_AS_STRING(path->get()), filename.get(), spec, *arguments);
}

}  // namespace

Result<Scratch> read_to_end(secret::os::FileHandle file, const ReadLimits& limits,
                            const frame::ArgumentSpec& spec, PyObject* filename) noexcept {
    // One byte past the limit is enough to know the limit was passed.
    const std::uint64_t most = limits.max_size < UINT64_MAX ? limits.max_size + 1 : limits.max_size;
    // No size is asked first: a file may grow or shrink while it is read, and pipes and devices
    // have none. The scratch starts at one page and doubles.
    auto scratch = Scratch::reserve(1);
    if (!scratch) {
        return Unexpected(lock_refused(scratch.error()));
    }
    while (true) {
        if (scratch->length() == scratch->capacity()) {
            std::uint64_t larger = std::min<std::uint64_t>(scratch->capacity() * 2ULL, most);
            if (auto grown = scratch->grow(static_cast<std::size_t>(larger)); !grown) {
                return Unexpected(lock_refused(grown.error()));
            }
        }
        std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(
            scratch->capacity() - scratch->length(), most - scratch->length()));
        std::int64_t got = 0;
        secret::os::ErrorCode code = 0;
        // A pipe or a terminal may block: other threads run meanwhile. The scratch is ours alone.
        without_interpreter_lock([&] {
            got = secret::os::read_file(file, scratch->data() + scratch->length(), room);
            code = got < 0 ? secret::os::last_error() : 0;
        });
        if (got < 0) {
            if (secret::os::interrupted(code)) {
                if (PyErr_CheckSignals() != 0) {
                    return Unexpected(VaultError::take_pending_or_system_error());
                }
                continue;
            }
            return Unexpected(os_error(code, filename));
        }
        if (got == 0) {
            break;
        }
        scratch->set_length(scratch->length() + static_cast<std::size_t>(got));
        if (scratch->length() > limits.max_size) {
            return Unexpected(too_large(spec, limits.max_size));
        }
    }
    if (limits.strip_newline) {
        strip_one_newline(*scratch);
    }
    return std::move(*scratch);
}

namespace entries {

PyObject* from_file(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return frame::finish(from_file_call(args, nargs, kwnames));
}

PyObject* from_fd(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return frame::finish(from_fd_call(args, nargs, kwnames));
}

PyObject* from_credential(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return frame::finish(from_credential_call(args, nargs, kwnames));
}

}  // namespace entries
}  // namespace hush_vault::sources
