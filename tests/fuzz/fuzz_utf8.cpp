// Differential fuzzer: UTF-8 validation, the text's shape (code points, storage class) and the
// decoding into string storage, against the plain reference.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "reference.hpp"
#include "secret/utf8.hpp"

namespace {

// Decodes into exactly `count` units of the given width (a heap block, so that ASan sees any
// write past it) and compares with the reference's code points.
template <class Unit>
void check_decode(const std::uint8_t* data, std::size_t size,
                  const std::vector<char32_t>& code_points) {
    std::vector<Unit> units(code_points.size());
    hush_vault::secret::decode_utf8(data, size, units.data());
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (units[i] != code_points[i]) fuzz::mismatch("utf8", "decode_utf8 differs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace hush_vault::secret;
    const bool expected = fuzz::ref_valid(data, size);
    if (is_valid_utf8(data, size) != expected) {
        fuzz::mismatch("utf8", expected ? "valid input refused" : "invalid input accepted");
    }
    const std::optional<TextShape> shape = measure_utf8(data, size);
    if (shape.has_value() != expected) fuzz::mismatch("utf8", "measure_utf8 disagrees on validity");
    if (!expected) return 0;

    std::vector<char32_t> code_points;
    char32_t max = 0;
    for (std::size_t i = 0; i < size;) {
        const fuzz::RefStep step = fuzz::ref_step(data + i, size - i);
        code_points.push_back(step.code_point);
        max = std::max(max, step.code_point);
        i += step.length;
    }
    const char32_t bound = max < 0x80      ? 0x7F
                           : max < 0x100   ? 0xFF
                           : max < 0x10000 ? 0xFFFF
                                           : 0x10FFFF;
    if (shape->code_points != code_points.size())
        fuzz::mismatch("utf8", "code point count differs");
    if (shape->max_code_point != bound) fuzz::mismatch("utf8", "storage class differs");

    if (bound <= 0xFF) check_decode<std::uint8_t>(data, size, code_points);
    if (bound <= 0xFFFF) check_decode<std::uint16_t>(data, size, code_points);
    check_decode<std::uint32_t>(data, size, code_points);
    return 0;
}
