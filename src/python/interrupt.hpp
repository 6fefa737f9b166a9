// InterruptibleRelease: releases the GIL around long native work that Ctrl-C can stop.
#pragma once

#include <atomic>
#include <optional>
#include <type_traits>  // for std::invoke_result_t

#include "python/convert.hpp"  // for raise_value_error
#include "python/py_ref.hpp"

#include "core/util/cancel.hpp"

namespace kelvara::py {

/// Releases the GIL for its lifetime and installs a cancel token on this thread.
/// Work that honours `cancel_point()` (core/cancel.hpp) makes this thread re-take the
/// GIL every `CancelToken::poll_interval` and run the Python signal handlers; when
/// one raises (KeyboardInterrupt for Ctrl-C), the token is set, the work winds down
/// and, once the GIL is back, that exception is set again for the caller to return.
///
///     bool stopped;
///     { InterruptibleRelease released; result = work(); stopped = released.interrupted(); }
///     if (stopped) return nullptr;   // the handler's exception is set
///
/// `cancel`, when given, is a flag another thread may set (`TrajectoryReader.cancel`):
/// work on a thread that is not the main one never sees a signal handler run, so a
/// reader's helper thread is stopped through it; `cancelled()` then tells why.
class InterruptibleRelease {
public:
    explicit InterruptibleRelease(const std::atomic<bool>* cancel = nullptr)
        : cancel_(cancel), token_(&poll, this), scope_(&token_), state_(PyEval_SaveThread()) {}
    InterruptibleRelease(const InterruptibleRelease&) = delete;
    InterruptibleRelease& operator=(const InterruptibleRelease&) = delete;
    ~InterruptibleRelease() {
        PyEval_RestoreThread(state_);
        if (type_) PyErr_Restore(type_, value_, traceback_);
    }

    /// Whether a signal handler raised: the caller must then return null.
    bool interrupted() const { return type_ != nullptr; }
    /// Drops the handler's exception, for work that stops with a usable result (a
    /// search that returns its best so far). Call while the GIL is released.
    void forget() {
        PyEval_RestoreThread(state_);
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
        state_ = PyEval_SaveThread();
    }
    /// Whether the work was stopped through the `cancel` flag (no exception is set).
    bool cancelled() const { return !type_ && cancel_ && cancel_->load() && token_.requested(); }

private:
    static bool poll(void* context) {
        auto* self = static_cast<InterruptibleRelease*>(context);
        if (self->type_) return true;
        if (self->cancel_ && self->cancel_->load()) return true;
        PyEval_RestoreThread(self->state_);
        if (PyErr_CheckSignals() < 0) PyErr_Fetch(&self->type_, &self->value_, &self->traceback_);
        self->state_ = PyEval_SaveThread();
        return self->type_ != nullptr;
    }

    const std::atomic<bool>* cancel_;
    CancelToken token_;
    CancelScope scope_;
    PyThreadState* state_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

/// Runs `work()` (returning a Result) with the GIL released, Ctrl-C stopping it; the
/// value, or nullopt with the exception set (the signal handler's, or ValueError with
/// the work's message).
template <class Work>
auto run_released(Work&& work) -> std::optional<typename std::invoke_result_t<Work>::value_type> {
    std::optional<std::invoke_result_t<Work>> result;
    bool stopped = false;
    {
        InterruptibleRelease released;
        result.emplace(work());
        stopped = released.interrupted();
    }
    if (stopped) return std::nullopt;
    if (!*result) {
        raise_value_error(result->error());
        return std::nullopt;
    }
    return std::move(**result);
}

}  // namespace kelvara::py
