// Differential fuzzer: UTF-8 validation against the plain reference.
#include <cstddef>
#include <cstdint>

#include "reference.hpp"
#include "secret/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace hush_vault::secret;
    const bool expected = fuzz::ref_valid(data, size);
    if (is_valid_utf8(data, size) != expected) {
        fuzz::mismatch("utf8", expected ? "valid input refused" : "invalid input accepted");
    }
    return 0;
}
