// Reading a whole file, pipe or device into locked scratch memory.
#pragma once

#include <cstdint>

#include "frame/pure/argument_spec.hpp"
#include "secret/os_sources.hpp"
#include "sources/scratch.hpp"
#include "sources/vault_maker.hpp"

namespace hush_vault::sources {

struct ReadLimits {
    std::uint64_t max_size;  // more bytes than this is a ValueError
    bool strip_newline;      // drop one trailing "\n" or "\r\n"
};

// Everything `file` holds from its current position to its end, however it grows or shrinks
// meanwhile; an interrupted read runs the signal handlers (their exception, such as
// KeyboardInterrupt, ends the read) and is tried again. Read errors are OSErrors naming
// `filename` (borrowed; may be null). On every failure what was read is zeroed.
[[nodiscard]] Result<Scratch> read_to_end(secret::os::FileHandle file, const ReadLimits& limits,
                                          const frame::ArgumentSpec& spec,
                                          PyObject* filename) noexcept;

}  // namespace hush_vault::sources
