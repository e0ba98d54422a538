// fit(x, y) and predict(x): binding, the instance's access guard, array
// intake, the model operation, and the result.
#include <string>
#include <variant>

#include "arrays.hpp"
#include "messages.hpp"
#include "bravolin/boundary/barrier.hpp"
#include "binding.hpp"
#include "borrow_registry.hpp"
#include "linear_regression.hpp"
#include "strassen/interrupt.hpp"

namespace bravolin {

namespace {

constexpr const char* FIT_PARAMS[] = {"x", "y"};
constexpr ParamSpec FIT_SPEC{"LinearRegression.fit()", FIT_PARAMS, 2};
constexpr const char* PREDICT_PARAMS[] = {"x"};
constexpr ParamSpec PREDICT_SPEC{"LinearRegression.predict()", PREDICT_PARAMS, 1};

// Holds the instance's guard for one call and gives it back on every way out.
class AccessGuard {
public:
    static bool exclusive(LinearRegressionObject* self, AccessGuard& guard) {
        if (self->borrow_flag != 0) {
            PyErr_SetString(PyExc_RuntimeError, messages::ALREADY_BORROWED);
            return false;
        }
        self->borrow_flag = -1;
        guard.self_ = self;
        return true;
    }
    static bool shared(LinearRegressionObject* self, AccessGuard& guard) {
        if (self->borrow_flag == -1) {
            PyErr_SetString(PyExc_RuntimeError, messages::ALREADY_MUTABLY_BORROWED);
            return false;
        }
        self->borrow_flag += 1;
        guard.self_ = self;
        return true;
    }
    AccessGuard() = default;
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    ~AccessGuard() {
        if (self_ == nullptr) return;
        if (self_->borrow_flag == -1)
            self_->borrow_flag = 0;
        else
            self_->borrow_flag -= 1;
    }

private:
    LinearRegressionObject* self_ = nullptr;
};

// Asked by the library while this thread waits for its workers: runs the
// Python signal handlers, so a Ctrl-C (KeyboardInterrupt, or whatever the
// handler raises) stops the call within strassen::INTERRUPT_POLL.
bool python_signal_pending(void*) { return PyErr_CheckSignals() != 0; }

// What every call needs from the outside world, set up before the guard is
// taken so that no import runs while an instance is held.
void prepare_numpy() {
    ensure_numpy_api();
    ensure_borrow_registry();
}

}  // namespace

PyObject* linear_regression_fit(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return fault_barrier([&]() -> PyObject* {
        PyObject* bound[MAX_PARAMS];
        if (!bind_fastcall(FIT_SPEC, args, nargs, kwnames, bound)) return nullptr;
        prepare_numpy();

        auto* self = reinterpret_cast<LinearRegressionObject*>(self_object);
        AccessGuard guard;
        if (!AccessGuard::exclusive(self, guard)) return nullptr;

        // Declared in this order so that y's borrow ends before x's on the
        // way out. Both are held until the model is done reading them.
        ArrayView x_view, y_view;
        x_view.extract(bound[0], "x");
        y_view.extract(bound[1], "y");
        const strassen::MatrixView x = x_view.matrix();
        const strassen::MatrixView y = y_view.matrix();

        const strassen::InterruptScope interrupt(python_signal_pending, nullptr);
        if (const auto failure = fit(self->state, x, y)) {
            PyErr_SetString(PyExc_RuntimeError, messages::text(*failure));
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* linear_regression_predict(PyObject* self_object, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    return fault_barrier([&]() -> PyObject* {
        PyObject* bound[MAX_PARAMS];
        if (!bind_fastcall(PREDICT_SPEC, args, nargs, kwnames, bound)) return nullptr;
        prepare_numpy();

        auto* self = reinterpret_cast<LinearRegressionObject*>(self_object);
        AccessGuard guard;
        if (!AccessGuard::shared(self, guard)) return nullptr;

        ArrayView x_view;
        x_view.extract(bound[0], "x");
        const strassen::MatrixView x = x_view.matrix();

        const strassen::InterruptScope interrupt(python_signal_pending, nullptr);
        auto result = predict(self->state, x);
        if (const auto* failure = std::get_if<Failure>(&result)) {
            PyErr_SetString(PyExc_RuntimeError, messages::text(*failure));
            return nullptr;
        }
        return make_result_array(std::move(std::get<strassen::Buffer>(result)));
    });
}

}  // namespace bravolin
