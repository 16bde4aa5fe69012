// OnceCell: a process-wide holder of one object, filled once. Threads that find it unfilled wait
// for the filler on the cell's guard without holding the interpreter lock, so that a thread
// holding the guard and a thread holding the interpreter lock can never block each other: nobody
// waits for the guard while holding the interpreter lock. A failed fill leaves it empty, and the
// next caller tries again.
#pragma once

#include <atomic>
#include <mutex>

#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"

namespace hush_vault::frame {

class OnceCell {
  public:
    // The object, borrowed, or null while the cell is not filled.
    [[nodiscard]] PyObject* get() const noexcept { return filled_.load(std::memory_order_acquire); }

    // The object, filling the cell with make() (a callable returning Result<Ref>, run with the
    // interpreter lock and the guard held) when it is empty. Called with the interpreter lock held.
    template <class Make>
    [[nodiscard]] Result<PyObject*> get_or_fill(Make&& make) noexcept {
        if (PyObject* object = get()) {
            return object;
        }
        // The guard alone, not a condition variable: the wait needs nothing newer from the C++
        // runtime than a mutex, which keeps the module loadable on older Linux systems.
        PyThreadState* thread = PyEval_SaveThread();
        std::unique_lock lock(guard_);
        PyEval_RestoreThread(thread);
        if (PyObject* object = get()) {
            return object;  // filled while this thread waited
        }
        Result<Ref> made = make();
        if (!made) {
            return Unexpected(std::move(made).error());
        }
        filled_.store(made->release(), std::memory_order_release);
        return get();
    }

  private:
    std::atomic<PyObject*> filled_{nullptr};  // owns one reference once set; never emptied
    std::mutex guard_;                        // held by the filler, and by each waiter in turn
};

}  // namespace hush_vault::frame
