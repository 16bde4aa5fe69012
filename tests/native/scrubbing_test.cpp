// The scratch copies of secret text (the environment value in UTF-16 and UTF-8, the masked text)
// are zero by the time their memory goes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "secret/env_lookup.hpp"
#include "secret/memory.hpp"
#include "secret/scrubbed_buffer.hpp"
#include "secret/utf8.hpp"
#include "support/platform.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HUSH_VAULT_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HUSH_VAULT_TEST_ASAN 1
#endif

namespace hush_vault::secret {
namespace {

// The heap keeps its free lists in the first bytes of a free block (up to four pointers).
constexpr std::size_t heap_bookkeeping = 32;

// What a block freed a moment ago still holds past the heap's bookkeeping, read through the
// allocation that reuses it: a same-sized request right after a free gets the same block back
// from glibc's and Wine's free lists. Nothing when the heap hands out another block.
std::optional<std::vector<std::uint8_t>> left_in_freed_block(const void* block, std::size_t n) {
    void* again = allocate(n);
    std::optional<std::vector<std::uint8_t>> left;
    if (again == block) {
        const auto* bytes = static_cast<const std::uint8_t*>(again);
        left.emplace(bytes + heap_bookkeeping, bytes + n);
    }
    deallocate(again);
    return left;
}

void expect_zeroed_when_freed(const void* block, std::size_t n, const char* what) {
    ASSERT_GT(n, heap_bookkeeping) << what;
    auto left = left_in_freed_block(block, n);
#if defined(HUSH_VAULT_TEST_ASAN)
    constexpr bool sanitized = true;
#else
    constexpr bool sanitized = false;
#endif
    // glibc hands a freed block straight back to a same-sized request; the Windows heap and the
    // sanitizer's quarantine need not, and then there is nothing to read.
    if (!left && (test::on_windows() || sanitized)) return;
    ASSERT_TRUE(left.has_value()) << what << ": the heap did not hand the freed block back";
    // No piece of the text ('k', alone or as UTF-16) may be left. Under Wine, beside other Wine
    // processes, a freed block was once found not all zero past the bookkeeping, without showing
    // what it held: the test asks for what matters and shows what was left when it fails.
    const std::vector<std::uint8_t> narrow(4, 'k');
    const std::vector<std::uint8_t> wide{'k', 0, 'k', 0, 'k', 0, 'k', 0};
    const bool text_left =
        std::search(left->begin(), left->end(), narrow.begin(), narrow.end()) != left->end() ||
        std::search(left->begin(), left->end(), wide.begin(), wide.end()) != left->end();
    std::string shown;
    for (std::uint8_t b : *left) {
        constexpr const char* hex = "0123456789abcdef";
        shown += hex[b >> 4];
        shown += hex[b & 15];
    }
    EXPECT_FALSE(text_left) << what << ": " << shown;
}

TEST(Scrubbing, EveryScratchCopyOfSecretTextIsZeroWhenItsMemoryGoesBack) {
    const char* name = "HUSH_VAULT_SCRUBBING_TEST";
    const std::string long_value(600, 'k');  // past the lookup's fixed buffer: on the heap
    test::set_env(name, long_value.c_str());

    std::optional<EnvValue> wide = read_env_var(name);
    ASSERT_TRUE(wide.has_value());
    const void* block = wide->data();
    wide.reset();
    expect_zeroed_when_freed(block, (long_value.size() + 1) * sizeof(char16_t), "UTF-16 value");

    auto read = read_env_utf8(name);
    ASSERT_TRUE(read.has_value());
    std::optional<ScrubbedBuffer<char>> utf8(std::move(*read));  // the same block, moved
    block = utf8->data();
    utf8.reset();
    expect_zeroed_when_freed(block, long_value.size(), "UTF-8 value");

    std::optional<ScrubbedBuffer<char>> masked =
        mask_secret(reinterpret_cast<const std::uint8_t*>(long_value.data()), 100, 60);
    block = masked->data();
    const std::size_t masked_size = masked->capacity();
    masked.reset();
    expect_zeroed_when_freed(block, masked_size, "masked text");

    // The lookup grows its heap buffer by assignment, with the value written but no length set.
    ScrubbedBuffer<char16_t> growing(600);
    std::fill_n(growing.data(), 600, u'k');
    block = growing.data();
    growing = ScrubbedBuffer<char16_t>(700);
    expect_zeroed_when_freed(block, 600 * sizeof(char16_t), "grown-out buffer");

    // A short value lives in the fixed buffer inside the value itself: once the value is
    // destroyed, its storage must not hold the text.
    test::set_env(name, std::string(300, 'k').c_str());
    std::optional<EnvValue> short_value = read_env_var(name);
    ASSERT_TRUE(short_value.has_value());
    short_value.reset();
    const auto* storage = reinterpret_cast<const char16_t*>(&short_value);
    const std::u16string run(8, u'k');
    EXPECT_EQ(std::search(storage, storage + sizeof short_value / sizeof(char16_t), run.begin(),
                          run.end()),
              storage + sizeof short_value / sizeof(char16_t))
        << "the fixed buffer kept the value";

    test::unset_env(name);
}

}  // namespace
}  // namespace hush_vault::secret
