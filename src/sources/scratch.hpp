// Scratch: locked memory of the companion module's own, where a secret is gathered before it
// becomes a vault. A mapping of its own (never the heap), so that the class's page-lock registry
// and the scratch never count the same page; locked, left out of core dumps, and zeroed before
// it is unmapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "secret/result.hpp"
#include "secret/secret_buffer.hpp"

namespace hush_vault::sources {

class Scratch {
  public:
    Scratch() noexcept = default;  // empty: no mapping, capacity 0
    Scratch(Scratch&& other) noexcept;
    Scratch& operator=(Scratch&& other) noexcept;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    // Zeroes the whole mapping, unlocks it and unmaps it.
    ~Scratch();

    // A locked mapping of at least `capacity` bytes (whole pages), length 0. A refused lock is
    // the lock's failure, with nothing left mapped; a refused mapping is memory exhaustion (an
    // internal fault).
    [[nodiscard]] static secret::Expected<Scratch, secret::LockFailure> reserve(
        std::size_t capacity) noexcept;

    // Makes room for at least `capacity` bytes, keeping the bytes held: a new locked mapping
    // takes them, and the old one is zeroed and unmapped. Fails as reserve does, leaving this
    // scratch as it was.
    [[nodiscard]] secret::Expected<void, secret::LockFailure> grow(std::size_t capacity) noexcept;

    [[nodiscard]] std::uint8_t* data() noexcept { return block_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] std::size_t length() const noexcept { return length_; }
    // The caller has written the first n bytes (n <= capacity). Shrinking zeroes what is dropped.
    void set_length(std::size_t n) noexcept;

    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {block_, length_}; }

  private:
    void release() noexcept;

    std::uint8_t* block_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
};

}  // namespace hush_vault::sources
