// A LockBackend that records the lock calls a PageLocks registry makes, and refuses on request,
// without touching the system: the addresses need not even be mapped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "secret/page_locks.hpp"

namespace hush_vault::test {

struct LockCall {
    bool lock;  // false: unlock
    std::uintptr_t address;
    std::size_t n;
    bool in_place = false;  // a lock through lock_in_place
    bool operator==(const LockCall&) const = default;
    friend void PrintTo(const LockCall& call, std::ostream* out) {
        *out << (!call.lock      ? "unlock("
                 : call.in_place ? "lock_in_place("
                                 : "lock(")
             << std::hex << call.address << std::dec << ", " << call.n << ")";
    }
};

class FakeLockBackend {
  public:
    // One fake is live at a time: the backend's functions are plain function pointers.
    explicit FakeLockBackend(std::size_t page_size) : page_size_(page_size) { current() = this; }
    FakeLockBackend(const FakeLockBackend&) = delete;
    FakeLockBackend& operator=(const FakeLockBackend&) = delete;
    ~FakeLockBackend() { current() = nullptr; }

    [[nodiscard]] secret::LockBackend backend() const noexcept {
        return {lock_call, lock_in_place_call, unlock_call, last_error_call, free_call,
                page_size_};
    }

    // Refuses every later lock whose range contains address, with that error code.
    void refuse_at(std::uintptr_t address, secret::os::ErrorCode code) {
        refused_address_ = address;
        refusal_code_ = code;
    }

    // Every later lock_in_place fails with that code before any other check (0: none), as on a
    // system without such a lock (os::error_not_supported).
    void refuse_in_place(secret::os::ErrorCode code) { in_place_refusal_code_ = code; }

    // Refuses every later unlock whose range meets [address, address + n), with that error code
    // (0: none).
    void refuse_unlock_at(std::uintptr_t address, secret::os::ErrorCode code, std::size_t n = 1) {
        refused_unlock_address_ = address;
        refused_unlock_n_ = n;
        unlock_refusal_code_ = code;
    }

    // Every later unlock whose range covers [block, block + n) checks that those bytes are zero
    // by then: unlocking first can let the system page the plaintext out.
    void watch_block(const std::uint8_t* block, std::size_t n) {
        watched_ = block;
        watched_n_ = n;
    }

    std::vector<LockCall> calls;
    std::vector<void*> freed;           // blocks the registry gave back (and were freed)
    std::size_t watched_unlocks = 0;    // unlocks that covered the watched block
    std::size_t plaintext_unlocks = 0;  // of those, the ones that found a byte not yet zero

  private:
    static FakeLockBackend*& current() noexcept {
        static FakeLockBackend* fake = nullptr;
        return fake;
    }

    static bool lock_call(void* address, std::size_t n) noexcept {
        return current()->lock_as(address, n, false);
    }

    static bool lock_in_place_call(void* address, std::size_t n) noexcept {
        return current()->lock_as(address, n, true);
    }

    bool lock_as(void* address, std::size_t n, bool in_place) noexcept {
        auto start = reinterpret_cast<std::uintptr_t>(address);
        calls.push_back({true, start, n, in_place});
        if (in_place && in_place_refusal_code_ != 0) {
            last_error_ = in_place_refusal_code_;
            return false;
        }
        if (refusal_code_ != 0 && start <= refused_address_ && refused_address_ < start + n) {
            last_error_ = refusal_code_;
            return false;
        }
        return true;
    }

    static bool unlock_call(void* address, std::size_t n) noexcept {
        FakeLockBackend& self = *current();
        auto start = reinterpret_cast<std::uintptr_t>(address);
        self.calls.push_back({false, start, n});
        auto watched = reinterpret_cast<std::uintptr_t>(self.watched_);
        if (self.watched_ != nullptr && start <= watched &&
            watched + self.watched_n_ <= start + n) {
            ++self.watched_unlocks;
            const std::uint8_t* end = self.watched_ + self.watched_n_;
            if (std::find_if(self.watched_, end, [](std::uint8_t b) { return b != 0; }) != end) {
                ++self.plaintext_unlocks;
            }
        }
        if (self.unlock_refusal_code_ != 0 &&
            start < self.refused_unlock_address_ + self.refused_unlock_n_ &&
            self.refused_unlock_address_ < start + n) {
            self.last_error_ = self.unlock_refusal_code_;
            return false;
        }
        // Windows reports unlocking as failed when it finds nothing locked; a registry that read
        // the error code after its clean-up would see this one instead of the refusal.
        self.last_error_ = 158;
        return true;
    }

    static void free_call(void* block) noexcept {
        current()->freed.push_back(block);
        secret::deallocate(block);
    }

    static secret::os::ErrorCode last_error_call() noexcept { return current()->last_error_; }

    std::size_t page_size_;
    const std::uint8_t* watched_ = nullptr;
    std::size_t watched_n_ = 0;
    std::uintptr_t refused_address_ = 0;
    secret::os::ErrorCode refusal_code_ = 0;
    secret::os::ErrorCode in_place_refusal_code_ = 0;
    std::uintptr_t refused_unlock_address_ = 0;
    std::size_t refused_unlock_n_ = 1;
    secret::os::ErrorCode unlock_refusal_code_ = 0;
    secret::os::ErrorCode last_error_ = 0;
};

}  // namespace hush_vault::test
