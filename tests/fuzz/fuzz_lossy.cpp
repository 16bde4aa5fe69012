// Differential fuzzer: lossy decoding and the masked display against the plain reference. The
// first input byte picks the suffix length (its top bit: a length near 2^64).
#include <cstddef>
#include <cstdint>
#include <string>

#include "reference.hpp"
#include "secret/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace hush_vault::secret;
    if (size == 0) return 0;
    const std::uint64_t suffix_len =
        (data[0] & 0x80) != 0 ? ~std::uint64_t{0} - (data[0] & 0x7F) : data[0];
    const std::uint8_t* bytes = data + 1;
    const std::size_t n = size - 1;

    const ScrubbedBuffer<char> lossy = decode_lossy(bytes, n);
    if (std::string(lossy.data(), lossy.length()) != fuzz::ref_lossy(bytes, n)) {
        fuzz::mismatch("lossy", "decode_lossy differs");
    }
    if (lossy.length() != lossy.capacity()) {
        fuzz::mismatch("lossy", "decode_lossy's block is not exactly its length");
    }

    const std::size_t hidden = suffix_len < n ? n - static_cast<std::size_t>(suffix_len) : 0;
    const std::string expected =
        std::string(hidden, '*') + fuzz::ref_lossy(bytes + hidden, n - hidden);
    const ScrubbedBuffer<char> masked = mask_secret(bytes, n, suffix_len);
    if (std::string(masked.data(), masked.length()) != expected) {
        fuzz::mismatch("lossy", "mask_secret differs");
    }
    return 0;
}
