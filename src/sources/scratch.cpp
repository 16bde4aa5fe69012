// Scratch mappings: mapped, locked and left out of core dumps; zeroed before they go.
#include "sources/scratch.hpp"

#include <cstring>
#include <utility>

#include "secret/fault.hpp"
#include "secret/os_sources.hpp"

namespace hush_vault::sources {
namespace {

std::size_t whole_pages(std::size_t n) noexcept {
    std::size_t page = secret::os::page_size();
    return n == 0 ? page : (n + page - 1) / page * page;
}

}  // namespace

Scratch::Scratch(Scratch&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)) {}

Scratch& Scratch::operator=(Scratch&& other) noexcept {
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Scratch::~Scratch() {
    release();
}

secret::Expected<Scratch, secret::LockFailure> Scratch::reserve(std::size_t capacity) noexcept {
    std::size_t size = whole_pages(capacity);
    void* mapped = secret::os::map_pages(size);
    if (mapped == nullptr) {
        secret::allocation_failure(size);
    }
    // The virtual_lock of the OS layer also keeps the pages out of core dumps; the scratch is
    // its own mapping, so the page-lock registry is not asked.
    if (!secret::os::virtual_lock(mapped, size)) {
        secret::LockFailure failure{secret::os::last_error(), size};
        secret::os::unmap_pages(mapped, size);
        return secret::Unexpected(failure);
    }
    Scratch scratch;
    scratch.block_ = static_cast<std::uint8_t*>(mapped);
    scratch.capacity_ = size;
    return scratch;
}

secret::Expected<void, secret::LockFailure> Scratch::grow(std::size_t capacity) noexcept {
    if (capacity <= capacity_) {
        return {};
    }
    auto larger = reserve(capacity);
    if (!larger) {
        return secret::Unexpected(larger.error());
    }
    if (length_ != 0) {
        std::memcpy(larger->block_, block_, length_);
    }
    larger->length_ = length_;
    *this = std::move(*larger);
    return {};
}

void Scratch::set_length(std::size_t n) noexcept {
    if (n < length_) {
        secret::secure_zero(block_ + n, length_ - n);
    }
    length_ = n;
}

void Scratch::release() noexcept {
    if (block_ == nullptr) {
        return;
    }
    // Zeroed while still locked: unlocking may let the pages reach swap at once.
    secret::secure_zero(block_, capacity_);
    secret::os::virtual_unlock(block_, capacity_);
    secret::os::unmap_pages(block_, capacity_);
    block_ = nullptr;
    capacity_ = 0;
    length_ = 0;
}

}  // namespace hush_vault::sources
