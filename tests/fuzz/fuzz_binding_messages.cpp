// Differential fuzzer: the binding messages against texts assembled the plain way. The input
// chooses the ArgumentSpec's shape, the counts and up to three names (split at NUL bytes).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/pure/binding_messages.hpp"
#include "reference.hpp"

namespace {

using hush_vault::frame::ArgumentSpec;

std::string str(const hush_vault::secret::Text& text) {
    return {text.data(), text.size()};
}

void expect(const hush_vault::secret::Text& got, const std::string& want, const char* what) {
    if (str(got) != want) fuzz::mismatch("binding_messages", what);
}

std::string quoted(std::string_view name) {
    return "'" + std::string(name) + "'";
}

std::string ref_list(const std::vector<std::string_view>& names) {
    if (names.size() == 1) return quoted(names[0]);
    if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
    std::string out;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) out += quoted(names[i]) + ", ";
    return out + "and " + quoted(names.back());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace hush_vault::frame;
    if (size < 3) return 0;
    const std::size_t count = data[0] % (max_parameters + 1);
    const std::size_t required = count == 0 ? 0 : data[1] % (count + 1);
    // The parameters after `positional` are keyword-only.
    const std::size_t positional =
        required + data[0] / (max_parameters + 1) % (count - required + 1);
    const std::size_t given = data[2];
    const unsigned missing_mask = data[1] >> 4;

    // The rest: class, function and parameter names, separated by NUL bytes.
    std::vector<std::string_view> parts;
    std::string_view rest = fuzz::as_text(data + 3, size - 3);
    while (parts.size() < 5) {
        const std::size_t cut = rest.find('\0');
        parts.push_back(rest.substr(0, cut));
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    parts.resize(5);
    ArgumentSpec spec{parts[1], parts[0], {parts[2], parts[3], parts[4]},
                      count,    required, positional};

    // A module function has no class, and no full stop before its name.
    const std::string func =
        std::string(parts[0]) + (parts[0].empty() ? "" : ".") + std::string(parts[1]) + "()";
    expect(full_name(spec), func, "full_name");

    std::string many = func + " takes ";
    if (required != positional) many += "from " + std::to_string(required) + " to ";
    many += std::to_string(positional) + " positional arguments but " + std::to_string(given) +
            (given == 1 ? " was given" : " were given");
    expect(too_many_message(spec, given), many, "too_many_message");

    expect(unexpected_keyword_message(spec, parts[2]),
           func + " got an unexpected keyword argument " + quoted(parts[2]),
           "unexpected_keyword_message");
    expect(multiple_values_message(spec, parts[3]),
           func + " got multiple values for argument " + quoted(parts[3]),
           "multiple_values_message");

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < max_parameters; ++i) {
        if ((missing_mask >> i) & 1U) missing.push_back(spec.names[i]);
    }
    if (!missing.empty()) {
        expect(quoted_list(missing), ref_list(missing), "quoted_list");
        expect(missing_message(spec, missing),
               func + " missing " + std::to_string(missing.size()) + " required positional " +
                   (missing.size() == 1 ? "argument: " : "arguments: ") + ref_list(missing),
               "missing_message");
    }

    expect(argument_error_message(parts[2], parts[3]),
           "argument " + quoted(parts[2]) + ": " + std::string(parts[3]), "argument_error_message");
    expect(cast_error_message(parts[3], parts[4]),
           quoted(parts[3]) + " object cannot be cast as " + quoted(parts[4]),
           "cast_error_message");
    return 0;
}
