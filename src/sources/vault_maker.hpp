// The one way this module makes a vault: through the public class, HushVault(data, volatile,
// ttl_sec), so that every promise of the class holds for these vaults unchanged.
//
// How a source hands its bytes over:
//   1. Bind the arguments to the function's spec (specs.hpp), then take the options with
//      vault_options() BEFORE reading anything, so that bad arguments read nothing.
//   2. Gather the secret in a Scratch (scratch.hpp): locked, out of core dumps, never the heap.
//      A source whose bytes already lie in the caller's memory (from_buffer) passes that span and
//      zeroes it itself.
//   3. make_vault(bytes, options). It copies the bytes into a new bytes object made here and
//      referenced by nobody else, calls the class, and zeroes that bytes object in place before
//      releasing it, whatever the class answered. The source then drops its Scratch (zeroed).
#pragma once

#include <cstdint>
#include <span>

#include "frame/pure/argument_spec.hpp"
#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"
#include "secret/secret_buffer.hpp"

namespace hush_vault::sources {

using frame::Ref;
using frame::Result;
using frame::Unexpected;
using frame::VaultError;
using secret::Text;

// volatile and ttl_sec as the caller gave them (borrowed), checked as the class checks them: the
// vault is made with these very objects.
struct VaultOptions {
    PyObject* is_volatile;  // `volatile` is a C++ keyword; Py_False when not given
    PyObject* ttl_sec;      // Py_None when not given
};

// Checks volatile (a bool) and ttl_sec (None or an int from 0 to 2**64 - 1) with the class's
// conversions; a TypeError reads "{function}() argument '{name}': ...", an OverflowError is the
// interpreter's, unchanged. Null arguments are "not given".
[[nodiscard]] Result<VaultOptions> vault_options(const frame::ArgumentSpec& spec,
                                                 PyObject* is_volatile, PyObject* ttl_sec) noexcept;

// A new HushVault holding `secret`. The class's own errors (a refused memory lock) come back
// unchanged, after the temporary bytes object has been zeroed. The interpreter failing to make
// the bytes object is an internal fault.
[[nodiscard]] Result<Ref> make_vault(std::span<const std::uint8_t> secret,
                                     const VaultOptions& options) noexcept;

// RuntimeError "Failed to lock memory (VirtualLock): ..." with the class's note on the limit,
// for a refused scratch lock.
[[nodiscard]] VaultError lock_refused(const secret::LockFailure& failure) noexcept;

// The class the vaults are made with, imported from hush_vault once; the module's start-up
// calls it so that a missing hush_vault fails the import.
[[nodiscard]] Result<PyObject*> vault_class() noexcept;

}  // namespace hush_vault::sources
