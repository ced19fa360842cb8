import operator

import pytest

from tarnwick._logger import PyLevel, get_logger

MEMBERS = [("Trace", 0), ("Debug", 1), ("Info", 2), ("Warn", 3), ("Error", 4)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_member_value_and_text(name, value):
    member = getattr(PyLevel, name)
    assert type(member) is PyLevel
    assert int(member) == value
    assert repr(member) == str(member) == f"PyLevel.{name}"
    assert getattr(PyLevel, name) is member


def test_members_compare_and_hash_by_identity():
    members = [getattr(PyLevel, n) for n, _ in MEMBERS]
    assert len(set(members)) == 5
    assert {PyLevel.Info: 1}[PyLevel.Info] == 1
    assert PyLevel.Info == PyLevel.Info and PyLevel.Info != PyLevel.Warn
    assert PyLevel.Debug != 1 and PyLevel.Info != "PyLevel.Info"


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_members_are_unordered(op):
    with pytest.raises(TypeError):
        op(PyLevel.Info, PyLevel.Warn)


@pytest.mark.parametrize(
    "use",
    [operator.index, range, lambda m: [0, 1, 2][m], lambda m: "abc"[:m], hex],
    ids=["index", "range", "subscript", "slice", "hex"],
)
def test_members_are_not_integer_indices(use):
    with pytest.raises(TypeError):
        use(PyLevel.Info)


def test_class_cannot_be_called_and_members_take_no_attributes():
    with pytest.raises(TypeError):
        PyLevel()
    with pytest.raises(TypeError):
        type(PyLevel.Info)(2)
    with pytest.raises(AttributeError):
        PyLevel.Info.value = 3
    assert int(PyLevel.Info) == 2


@pytest.mark.parametrize(
    "level, type_name",
    [(None, "NoneType"), (2, "int"), ("info", "str"), (PyLevel, "type"), (2.0, "float")],
)
def test_level_argument_must_be_a_member(level, type_name):
    message = f"argument 'level': '{type_name}' object cannot be cast as 'PyLevel'"
    with pytest.raises(TypeError, match=f"^{message}$"):
        get_logger("a", level=level)
    with pytest.raises(TypeError, match=f"^{message}$"):
        get_logger("a", level)
