// Real coroutine objects written in C++.
//
// A coroutine's body is a resumable state machine (CoroutineBody): each call of `resume`
// runs up to the next `await`, handing back the awaitable to wait on, or finishes with a
// result. make_coroutine wraps a body in an object that speaks the coroutine protocol
// (__await__, send, throw, close, __iter__/__next__) and is registered as a
// collections.abc.Coroutine, so asyncio.run, run_until_complete and `await` accept it.
// The object drives each awaitable's iterator itself and passes what that iterator yields
// (futures, bare yields) up to the event loop, as `await` in a Python coroutine does.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

namespace vestrel::py {

namespace nb = nanobind;

// What a body asks for next: an awaitable to await, or its final result.
struct Step {
    nb::object awaitable;  // invalid handle: the body has finished
    nb::object result;

    static Step await(nb::object awaitable) { return Step{std::move(awaitable), nb::none()}; }
    static Step done(nb::object result = nb::none()) {
        return Step{nb::object(), std::move(result)};
    }
    bool finished() const { return !awaitable.is_valid(); }
};

class CoroutineBody {
public:
    virtual ~CoroutineBody() = default;
    // Runs the body up to its next await. `value` is the result of the previous await
    // (None on the first call). A Python error thrown here ends the coroutine with it.
    virtual Step resume(nb::handle value) = 0;
    // The awaited object raised `error` (or an error was thrown into the coroutine while it
    // waited): continue with a new step, or rethrow (the default).
    virtual Step fail(const nb::python_error& error);
    // The coroutine ended abnormally (error, close(), or dropped before finishing): let go
    // of what the body holds (open files). Must not throw.
    virtual void release() noexcept {}
};

// A body that runs `async for item in iterable`: `begin` runs first and returns the
// iterable, `item` sees each element, `end` runs when the iteration stops and gives the
// coroutine's result. Errors of the iteration propagate (after `release`).
class AsyncForBody : public CoroutineBody {
public:
    Step resume(nb::handle value) override;
    Step fail(const nb::python_error& error) override;

protected:
    virtual nb::object begin() = 0;
    virtual void item(nb::handle value) = 0;
    virtual nb::object end() { return nb::none(); }

private:
    nb::object iterator_;
};

// Registers the coroutine type in `m`. All modules share one nanobind domain, so the type
// exists once per process: only the first call registers it, later calls do nothing.
void register_awaitable(nb::module_& m);

// A new coroutine object running `body`; `name` and `qualname` are what __name__,
// __qualname__ and the repr show. register_awaitable must have run.
nb::object make_coroutine(std::unique_ptr<CoroutineBody> body, const char* name,
                          const char* qualname);

}  // namespace vestrel::py
