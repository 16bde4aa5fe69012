// The texts of binding and conversion failures.
#include "frame/pure/binding_messages.hpp"

namespace hush_vault::frame {
namespace {

using secret::decimal;

// "{func}{phrase}{name}'": the phrase opens the quote around the name.
Text naming_message(const ArgumentSpec& spec, std::string_view phrase, std::string_view name) {
    Text text = full_name(spec);
    text += phrase;
    text += name;
    text += '\'';
    return text;
}

}  // namespace

Text full_name(const ArgumentSpec& spec) {
    Text text(spec.class_name);
    if (!spec.class_name.empty()) {
        text += '.';
    }
    text += spec.function_name;
    text += "()";
    return text;
}

Text too_many_message(const ArgumentSpec& spec, std::size_t given) {
    Text text = full_name(spec);
    text += " takes ";
    if (spec.required != spec.positional) {
        text += "from ";
        text += decimal(spec.required);
        text += " to ";
    }
    text += decimal(spec.positional);
    text += " positional arguments but ";
    text += decimal(given);
    text += given == 1 ? " was given" : " were given";
    return text;
}

Text unexpected_keyword_message(const ArgumentSpec& spec, std::string_view name) {
    return naming_message(spec, " got an unexpected keyword argument '", name);
}

Text multiple_values_message(const ArgumentSpec& spec, std::string_view name) {
    return naming_message(spec, " got multiple values for argument '", name);
}

Text missing_message(const ArgumentSpec& spec, std::span<const std::string_view> missing) {
    Text text = full_name(spec);
    text += " missing ";
    text += decimal(missing.size());
    text += missing.size() == 1 ? " required positional argument: "
                                : " required positional arguments: ";
    text += quoted_list(missing);
    return text;
}

Text quoted_list(std::span<const std::string_view> names) {
    Text text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) {
                text += ',';
            }
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

Text argument_error_message(std::string_view name, std::string_view inner) {
    Text text("argument '");
    text += name;
    text += "': ";
    text += inner;
    return text;
}

Text cast_error_message(std::string_view from, std::string_view to) {
    Text text("'");
    text += from;
    text += "' object cannot be cast as '";
    text += to;
    text += '\'';
    return text;
}

}  // namespace hush_vault::frame
