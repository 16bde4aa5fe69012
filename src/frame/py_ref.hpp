// Ref: one owned reference to a Python object.
//
// Rules of use:
// - A Ref owns exactly one strong reference, or none (empty). Its destructor releases it.
// - Ref::steal(p) takes over a new reference that an API call returned (null gives an empty Ref).
// - Ref::borrow(p) takes a new reference of its own to an object someone else owns.
// - get() lends the pointer; the Ref keeps its reference. release() hands the reference to the
//   caller (typically the interpreter, as a function result) and leaves the Ref empty.
// - Parameters that are PyObject* are borrowed; functions returning a new reference return Ref.
// - A Ref is dropped only while the interpreter lock is held.
#pragma once

#include <utility>

#include "frame/python.hpp"

namespace hush_vault::frame {

class Ref {
  public:
    Ref() noexcept = default;
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace hush_vault::frame
