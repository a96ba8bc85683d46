#include "bindings/common/awaitable.hpp"

#include <string>

#include "bindings/common/pyutil.hpp"

namespace vestrel::py {

Step CoroutineBody::fail(const nb::python_error& error) { throw nb::python_error(error); }

// ---------------------------------------------------------------------------------------
// async for

Step AsyncForBody::resume(nb::handle value) {
    if (!iterator_.is_valid()) {
        nb::object iterable = begin();
        PyObject* it = PyObject_GetAIter(iterable.ptr());
        if (!it) throw nb::python_error();
        iterator_ = nb::steal(it);
    } else {
        item(value);
    }
    PyTypeObject* tp = Py_TYPE(iterator_.ptr());
    unaryfunc anext = tp->tp_as_async ? tp->tp_as_async->am_anext : nullptr;
    if (!anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement "
                     "__anext__: %.100s",
                     tp->tp_name);
        throw nb::python_error();
    }
    PyObject* awaitable = anext(iterator_.ptr());
    if (!awaitable) throw nb::python_error();
    return Step::await(nb::steal(awaitable));
}

Step AsyncForBody::fail(const nb::python_error& error) {
    // StopAsyncIteration from __anext__ ends the loop, as `async for` does.
    if (iterator_.is_valid() && error.matches(PyExc_StopAsyncIteration)) {
        iterator_.reset();
        return Step::done(end());
    }
    throw nb::python_error(error);
}

// ---------------------------------------------------------------------------------------
// The coroutine object

namespace {

// Makes `exc` (an exception instance) the pending error without chaining it to whatever
// is being handled, as raising it inside the coroutine's own frame would, and returns it
// as a C++ exception.
nb::python_error as_error(nb::handle exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(nb::borrow(exc).release().ptr());
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))),
                  nb::borrow(exc).release().ptr(), PyException_GetTraceback(exc.ptr()));
#endif
    return nb::python_error();
}

// The exception instance that throw(typ[, val[, tb]]) raises, built as generator.throw does.
nb::object make_exception(nb::handle typ, nb::handle val, nb::handle tb) {
    PyObject* t = typ.ptr();
    nb::object exc;
    if (PyExceptionInstance_Check(t)) {
        if (!val.is_none())
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = nb::borrow(typ);
    } else if (PyExceptionClass_Check(t)) {
        PyObject* made;
        int is_instance = val.is_none() ? 0 : PyObject_IsInstance(val.ptr(), t);
        if (is_instance < 0) throw nb::python_error();
        if (is_instance)
            made = Py_NewRef(val.ptr());
        else if (val.is_none())
            made = PyObject_CallNoArgs(t);
        else if (PyTuple_Check(val.ptr()))
            made = PyObject_Call(t, val.ptr(), nullptr);
        else
            made = PyObject_CallOneArg(t, val.ptr());
        if (!made) throw nb::python_error();
        exc = nb::steal(made);
        if (!PyExceptionInstance_Check(exc.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         t, Py_TYPE(exc.ptr())->tp_name);
            throw nb::python_error();
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %s",
                     Py_TYPE(t)->tp_name);
        throw nb::python_error();
    }
    if (!tb.is_none()) {
        if (!PyTraceBack_Check(tb.ptr()))
            raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        if (PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0) throw nb::python_error();
    }
    return exc;
}

// The iterator that `await o` drives: a native coroutine itself, else o.__await__().
nb::object await_iter(nb::handle o) {
    if (PyCoro_CheckExact(o.ptr())) return nb::borrow(o);
    PyTypeObject* tp = Py_TYPE(o.ptr());
    unaryfunc getter = tp->tp_as_async ? tp->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     tp->tp_name);
        throw nb::python_error();
    }
    PyObject* it = getter(o.ptr());
    if (!it) throw nb::python_error();
    nb::object result = nb::steal(it);
    if (PyCoro_CheckExact(it)) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        throw nb::python_error();
    }
    return result;
}

enum class State { Created, Suspended, Running, Done };

// What the body is given next: the result of an await, or the error it raised.
struct Outcome {
    nb::object value;
    std::shared_ptr<nb::python_error> error;  // python_error cannot be assigned

    static Outcome of(nb::object v) { return Outcome{std::move(v), nullptr}; }
    static Outcome failed(nb::python_error e) {
        return Outcome{nb::object(), std::make_shared<nb::python_error>(std::move(e))};
    }
};

struct Coroutine {
    std::unique_ptr<CoroutineBody> body;
    nb::object awaited;  // the awaitable the body waits on (cr_await)
    nb::object iter;     // the iterator driving it
    State state = State::Created;
    std::string qualname;  // for the repr

    Coroutine(std::unique_ptr<CoroutineBody> b, std::string q)
        : body(std::move(b)), qualname(std::move(q)) {}
    Coroutine(const Coroutine&) = delete;
    Coroutine& operator=(const Coroutine&) = delete;

    ~Coroutine() {
        if (state == State::Done) return;
        // Dropped before finishing: close what it waits on and let the body go, keeping
        // any error that is pending in the caller.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            close_iter();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("closing an abandoned coroutine");
        } catch (...) {
        }
        abandon();
        PyErr_Restore(t, v, tb);
    }

    void clear_await() {
        awaited.reset();
        iter.reset();
    }

    void close_iter() {
        nb::object it = std::move(iter);
        awaited.reset();
        if (it.is_valid() && nb::hasattr(it, "close")) it.attr("close")();
    }

    // Ends the coroutine abnormally: the body releases what it holds.
    void abandon() noexcept {
        state = State::Done;
        clear_await();
        if (body) {
            body->release();
            body.reset();
        }
    }

    [[noreturn]] void return_value(nb::object result) {
        state = State::Done;
        clear_await();
        body.reset();
        nb::object stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, result.ptr()));
        if (!stop.is_valid()) throw nb::python_error();
        throw as_error(stop);
    }

    // A body that lets StopIteration escape would be read as a return by whoever drives
    // the coroutine; like a Python coroutine it becomes a RuntimeError.
    [[noreturn]] void fail_with(nb::python_error& e) {
        abandon();
        const char* stop = e.matches(PyExc_StopIteration)        ? "StopIteration"
                           : e.matches(PyExc_StopAsyncIteration) ? "StopAsyncIteration"
                                                                 : nullptr;
        if (!stop) throw;
        nb::object cause = nb::borrow(e.value());
        nb::object err = nb::steal(PyObject_CallOneArg(
            PyExc_RuntimeError, nb::str(("coroutine raised " + std::string(stop)).c_str()).ptr()));
        PyException_SetCause(err.ptr(), nb::object(cause).release().ptr());
        PyException_SetContext(err.ptr(), cause.release().ptr());
        throw as_error(err);
    }

    // Feeds `outcome` to the body and runs it until it suspends on an awaitable (returning
    // what that awaitable yielded) or finishes (raising StopIteration with its result).
    nb::object drive(Outcome outcome) {
        state = State::Running;
        for (;;) {
            Step step;
            try {
                step = outcome.error ? body->fail(*outcome.error) : body->resume(outcome.value);
            } catch (nb::python_error& e) {
                fail_with(e);
            } catch (...) {
                abandon();
                throw;
            }
            if (step.finished()) return_value(std::move(step.result));

            nb::object it;
            try {
                it = await_iter(step.awaitable);
            } catch (nb::python_error& e) {
                outcome = Outcome::failed(std::move(e));
                continue;
            }
            PyObject* out = nullptr;
            PySendResult r = PyIter_Send(it.ptr(), Py_None, &out);
            if (r == PYGEN_NEXT) {
                awaited = std::move(step.awaitable);
                iter = std::move(it);
                state = State::Suspended;
                return nb::steal(out);
            }
            if (r == PYGEN_RETURN)
                outcome = Outcome::of(nb::steal(out));
            else
                outcome = Outcome::failed(nb::python_error());
        }
    }

    nb::object send(nb::handle value) {
        switch (state) {
            case State::Done:
                raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            case State::Running:
                raise(PyExc_ValueError, "coroutine already executing");
            case State::Created:
                if (!value.is_none())
                    raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return drive(Outcome::of(nb::none()));
            case State::Suspended:
                break;
        }
        state = State::Running;
        PyObject* out = nullptr;
        PySendResult r = PyIter_Send(iter.ptr(), value.ptr(), &out);
        if (r == PYGEN_NEXT) {
            state = State::Suspended;
            return nb::steal(out);
        }
        // Take the result or the error before letting go of the iterator: releasing it may
        // run finalisers, which must not see a pending error.
        Outcome outcome = r == PYGEN_RETURN ? Outcome::of(nb::steal(out))
                                            : Outcome::failed(nb::python_error());
        clear_await();
        return drive(std::move(outcome));
    }

    nb::object throw_(nb::handle typ, nb::handle val, nb::handle tb) {
        if (state == State::Running) raise(PyExc_ValueError, "coroutine already executing");
        nb::object exc = make_exception(typ, val, tb);
        if (state != State::Suspended) {
            // Not started or already finished: the error comes straight out and the
            // coroutine is closed.
            abandon();
            throw as_error(exc);
        }
        state = State::Running;
        if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit)) {
            // Closing: the awaited iterator is closed first, then the error reaches the body.
            try {
                close_iter();
            } catch (nb::python_error& e) {
                return drive(Outcome::failed(std::move(e)));
            }
            return drive(Outcome::failed(as_error(exc)));
        }
        nb::object thrower = nb::getattr(iter, "throw", nb::none());
        if (thrower.is_none()) {
            clear_await();
            return drive(Outcome::failed(as_error(exc)));
        }
        PyObject* out = PyObject_CallOneArg(thrower.ptr(), exc.ptr());
        if (out) {
            state = State::Suspended;
            return nb::steal(out);
        }
        nb::python_error e;
        clear_await();
        if (e.matches(PyExc_StopIteration)) return drive(Outcome::of(e.value().attr("value")));
        return drive(Outcome::failed(std::move(e)));
    }

    void close() {
        if (state == State::Running) raise(PyExc_ValueError, "coroutine already executing");
        if (state == State::Suspended) {
            state = State::Running;
            try {
                close_iter();
            } catch (...) {
                abandon();
                throw;
            }
        }
        abandon();
    }
};

const char* const kTypeName = "_Coroutine";

}  // namespace

void register_awaitable(nb::module_& m) {
    if (nb::type<Coroutine>().is_valid()) return;
    // dynamic_attr: __name__ and __qualname__ are instance attributes (a type cannot carry
    // properties of those names).
    nb::class_<Coroutine> cls(m, kTypeName,
                              "A coroutine whose body runs in C++ (send, throw, close, await).",
                              nb::dynamic_attr());
    cls.def("send", &Coroutine::send, nb::arg("value").none())
        .def("throw", &Coroutine::throw_, nb::arg("typ").none(),
             nb::arg("val").none() = nb::none(), nb::arg("tb").none() = nb::none())
        .def("close", &Coroutine::close)
        .def("__next__", [](Coroutine& c) { return c.send(nb::none()); })
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__await__", [](nb::handle self) { return nb::borrow(self); })
        .def("__repr__",
             [](nb::handle self) {
                 Coroutine& c = nb::cast<Coroutine&>(self);
                 return nb::steal(PyUnicode_FromFormat("<coroutine object %s at %p>",
                                                       c.qualname.c_str(), self.ptr()));
             })
        .def_prop_ro("cr_running", [](Coroutine& c) { return c.state == State::Running; })
        .def_prop_ro("cr_await", [](Coroutine& c) {
            return c.awaited.is_valid() ? c.awaited : nb::none();
        });
    import("collections.abc").attr("Coroutine").attr("register")(cls);
}

nb::object make_coroutine(std::unique_ptr<CoroutineBody> body, const char* name,
                          const char* qualname) {
    nb::object coro =
        nb::cast(new Coroutine(std::move(body), qualname), nb::rv_policy::take_ownership);
    coro.attr("__name__") = nb::str(name);
    coro.attr("__qualname__") = nb::str(qualname);
    return coro;
}

}  // namespace vestrel::py
