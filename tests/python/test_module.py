"""Module entry, the class object, construction and argument binding."""
import importlib
import sys

import numpy as np
import pytest

import bravolin_learn
from bravolin_learn import LinearRegression

X = np.array([[1.0], [2.0], [3.0]])
Y = np.array([[3.0], [5.0], [7.0]])


def test_reimport_yields_the_same_module():
    first = sys.modules.pop("bravolin_learn")
    try:
        again = importlib.import_module("bravolin_learn")
        assert again is first
        assert again.__all__ == ["LinearRegression"]
    finally:
        sys.modules["bravolin_learn"] = first


def test_module_contents():
    assert bravolin_learn.__doc__ == ""
    assert bravolin_learn.__all__ == ["LinearRegression"]
    assert not hasattr(bravolin_learn, "PanicException")


def test_class_properties():
    assert LinearRegression.__name__ == "LinearRegression"
    assert LinearRegression.__module__ == "builtins"
    assert type(LinearRegression(True)).__module__ == "builtins"
    assert LinearRegression.__text_signature__ == "(fit_intercept)"
    assert LinearRegression.__doc__ == ""
    assert LinearRegression.fit.__text_signature__ == "($self, x, y)"
    assert LinearRegression.fit.__doc__ is None or LinearRegression.fit.__doc__ == ""
    assert LinearRegression.predict.__text_signature__ == "($self, x)"
    assert LinearRegression.predict.__doc__ == (
        "Predicts the y values for given x values using the learned regression coefficients."
        "\n\n# Arguments\n* `x` - A 2D numpy array where each row represents a set of features "
        "for one observation.\n\n# Returns\nA numpy array of predicted y values."
    )
    assert len("predict($self, x)\n--\n\n" + LinearRegression.predict.__doc__) == 256


def test_not_subclassable_and_no_attributes():
    with pytest.raises(TypeError):
        type("Sub", (LinearRegression,), {})
    model = LinearRegression(True)
    with pytest.raises(AttributeError):
        model.foo = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(model)
    assert not LinearRegression.__flags__ & (1 << 14)  # not tracked by the cyclic GC


@pytest.mark.parametrize("call", [lambda: LinearRegression(True), lambda: LinearRegression(fit_intercept=False)])
def test_constructor_accepts_bool(call):
    assert isinstance(call(), LinearRegression)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "argument 'fit_intercept': 'int' object cannot be converted to 'PyBool'"),
        ((0,), {}, "argument 'fit_intercept': 'int' object cannot be converted to 'PyBool'"),
        ((np.bool_(True),), {}, f"argument 'fit_intercept': '{type(np.bool_(True)).__qualname__}' object cannot be converted to 'PyBool'"),
        ((None,), {}, "argument 'fit_intercept': 'NoneType' object cannot be converted to 'PyBool'"),
        ((), {}, "LinearRegression.__new__() missing 1 required positional argument: 'fit_intercept'"),
        ((True, False), {}, "LinearRegression.__new__() takes 1 positional arguments but 2 were given"),
        ((True,), {"fit_intercept": True}, "LinearRegression.__new__() got multiple values for argument 'fit_intercept'"),
        ((), {"flag": True}, "LinearRegression.__new__() got an unexpected keyword argument 'flag'"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        LinearRegression(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_conversion_error_keeps_cause_and_wraps_only_type_error():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise ValueError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(TypeError) as info:
        LinearRegression(Odd())
    assert str(info.value) == (
        "argument 'fit_intercept': '<failed to extract type name>' object cannot be converted to 'PyBool'"
    )


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("fit", (X,), {}, "LinearRegression.fit() missing 1 required positional argument: 'y'"),
        ("fit", (), {}, "LinearRegression.fit() missing 2 required positional arguments: 'x' and 'y'"),
        ("fit", (X, Y), {"z": 1}, "LinearRegression.fit() got an unexpected keyword argument 'z'"),
        ("fit", (X,), {"y": Y, "z": 1}, "LinearRegression.fit() got an unexpected keyword argument 'z'"),
        ("fit", (X,), {"x": X}, "LinearRegression.fit() got multiple values for argument 'x'"),
        ("fit", (X, Y, Y), {}, "LinearRegression.fit() takes 2 positional arguments but 3 were given"),
        ("predict", (), {}, "LinearRegression.predict() missing 1 required positional argument: 'x'"),
        ("predict", (X, X), {}, "LinearRegression.predict() takes 1 positional arguments but 2 were given"),
        ("predict", (), {"y": X}, "LinearRegression.predict() got an unexpected keyword argument 'y'"),
    ],
)
def test_method_binding_errors(method, args, kwargs, message):
    model = LinearRegression(True)
    with pytest.raises(TypeError) as info:
        getattr(model, method)(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_forms_work_like_positional():
    a, b = LinearRegression(True), LinearRegression(True)
    a.fit(X, Y)
    b.fit(x=X, y=Y)
    assert np.array_equal(a.predict(X), b.predict(x=X))


def test_panic_exception_is_base_exception_only(PanicException):
    assert PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    model = LinearRegression(False)
    model.fit(X, Y)
    caught = None
    try:
        try:
            model.predict(np.ones((2, 3)))
        except Exception:  # must not catch it
            caught = "Exception"
    except PanicException as error:
        caught = error.args
    assert caught == ("Matrix sizes do not match",)
