import operator

import pytest

from tarnwick._logger import PyLevel

MEMBERS = [("Trace", 0), ("Debug", 1), ("Info", 2), ("Warn", 3), ("Error", 4)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_member_value_and_text(name, value):
    member = getattr(PyLevel, name)
    assert type(member) is PyLevel and getattr(PyLevel, name) is member
    assert int(member) == value
    assert repr(member) == str(member) == f"PyLevel.{name}"


def test_members_compare_and_hash_by_identity():
    assert len({getattr(PyLevel, n) for n, _ in MEMBERS}) == 5
    assert {PyLevel.Info: 1}[PyLevel.Info] == 1
    assert PyLevel.Info == PyLevel.Info and PyLevel.Info != PyLevel.Warn
    assert PyLevel.Debug != 1 and PyLevel.Info != "PyLevel.Info"


@pytest.mark.parametrize("use", [
    operator.lt, operator.le, operator.gt, operator.ge,  # unordered
    lambda a, b: operator.index(a), lambda a, b: [0, 1, 2][a], lambda a, b: hex(a),  # no index
    lambda a, b: PyLevel(), lambda a, b: type(a)(2),  # no constructor
])
def test_members_are_unordered_not_indices_and_not_constructible(use):
    with pytest.raises(TypeError):
        use(PyLevel.Info, PyLevel.Warn)

