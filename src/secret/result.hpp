// A value or an error. Member names follow std::expected so that this can become an alias of it
// once every compiler we build with ships one.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace hush_vault::secret {

// Wraps an error so that it can be returned where an Expected is expected.
template <class E>
class Unexpected {
  public:
    explicit Unexpected(E error) : error_(std::move(error)) {}
    [[nodiscard]] E& error() & { return error_; }
    [[nodiscard]] E&& error() && { return std::move(error_); }

  private:
    E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Expected {
  public:
    Expected(T value)
        : state_(std::in_place_index<0>, std::move(value)) {
    }  // NOLINT(google-explicit-constructor)
    template <class G>
    Expected(Unexpected<G> error)  // NOLINT(google-explicit-constructor)
        : state_(std::in_place_index<1>, std::move(error).error()) {}

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& operator*() & { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    const T& operator*() const& { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }

    [[nodiscard]] E& error() & { return std::get<1>(state_); }
    [[nodiscard]] E&& error() && { return std::get<1>(std::move(state_)); }
    [[nodiscard]] const E& error() const& { return std::get<1>(state_); }

  private:
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
  public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G> error)  // NOLINT(google-explicit-constructor)
        : error_(std::move(error).error()) {}

    [[nodiscard]] bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }

    [[nodiscard]] E& error() & { return *error_; }
    [[nodiscard]] E&& error() && { return std::move(*error_); }
    [[nodiscard]] const E& error() const& { return *error_; }

  private:
    std::optional<E> error_;
};

}  // namespace hush_vault::secret
