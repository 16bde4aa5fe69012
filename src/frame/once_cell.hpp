// OnceCell: a process-wide holder of one object, filled once. Threads that find it unfilled wait
// for the filler without holding the interpreter lock, so that a thread holding the cell's guard
// and a thread holding the interpreter lock can never block each other. A failed fill leaves it
// empty, and the next caller tries again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"

namespace hush_vault::frame {

class OnceCell {
  public:
    // The object, borrowed, or null while the cell is not filled.
    [[nodiscard]] PyObject* get() const noexcept { return filled_.load(std::memory_order_acquire); }

    // The object, filling the cell with make() (a callable returning Result<Ref>, run with the
    // interpreter lock held) when it is empty. Called with the interpreter lock held.
    template <class Make>
    [[nodiscard]] Result<PyObject*> get_or_fill(Make&& make) noexcept {
        if (PyObject* object = get()) {
            return object;
        }
        PyThreadState* thread = PyEval_SaveThread();
        std::unique_lock lock(mutex_);
        for (;;) {
            if (PyObject* object = get()) {
                lock.unlock();
                PyEval_RestoreThread(thread);
                return object;
            }
            if (!filling_) {
                break;
            }
            changed_.wait(lock);
        }
        filling_ = true;
        lock.unlock();
        PyEval_RestoreThread(thread);

        Result<Ref> made = make();

        lock.lock();
        filling_ = false;
        if (made) {
            filled_.store(made->release(), std::memory_order_release);
        }
        lock.unlock();
        changed_.notify_all();
        if (!made) {
            return Unexpected(std::move(made).error());
        }
        return get();
    }

  private:
    std::atomic<PyObject*> filled_{nullptr};  // owns one reference once set; never emptied
    std::mutex mutex_;
    std::condition_variable changed_;
    bool filling_ = false;  // guarded by mutex_
};

}  // namespace hush_vault::frame
