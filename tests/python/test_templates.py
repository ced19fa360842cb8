"""Template strings (Python 3.14+) as messages: the f-string's text, one typed field per name, the
template's text on request, through every entry; the per-thread parse cache stays bounded."""

import sys

import pytest

from helpers import Bare, members, parse, read_lines, run_py

pytestmark = pytest.mark.skipif(sys.version_info < (3, 14), reason="template strings are Python 3.14+")


@pytest.mark.parametrize("fmt", ["logfmt", "json"])
def test_message_is_the_f_string_and_names_become_typed_fields(tmp_path, fmt):
    out = run_py(f"""
        import json, tarnwick
        tarnwick.basic_config(format={fmt!r})
        log = tarnwick.PyLogger("app", path="f.log")
        class Req:
            id = 7
            def __repr__(self): return "Req()"
        user, n, x, big, flag, none, req, name = 'a"b', 42, 1.5, 2**70, True, None, Req(), "reserved"
        café = "not ascii"
        texts = [f"{{user}} {{n:>5}} {{x:.3f}} {{user!r}} {{n + 1}} {{req.id}} {{req!a}} {{ user }} {{user}} {{big}}",
                 f"{{flag}} {{none}} {{name}} {{café}} {{[n][0]}} {{{{lit}}}} {{x=}}"]
        log.info(t"{{user}} {{n:>5}} {{x:.3f}} {{user!r}} {{n + 1}} {{req.id}} {{req!a}} {{ user }} {{user}} {{big}}")
        log.warning(t"{{flag}} {{none}} {{name}} {{café}} {{[n][0]}} {{{{lit}}}} {{x=}}")
        with tarnwick.context(n="ctx", request="r-1"):
            log.bind(x=0, k=1).error(t"{{x}} {{n}}")
        log.shutdown()
        print(json.dumps(texts))
        """, cwd=tmp_path).stdout
    first, second, third = map(parse, read_lines(tmp_path))
    texts = __import__("json").loads(out)
    assert (first["msg"], second["msg"], third["msg"]) == (*texts, "1.5 42")
    j = fmt == "json"
    num = (lambda v: v) if j else (lambda v: Bare(str(v).lower() if v is not None else "null"))
    assert [(k, type(v), v) for k, v in members(first).items()] == [
        ("user", str, 'a"b'), ("n", type(num(42)), num(42)), ("x", type(num(1.5)), num(1.5)),
        ("req.id", type(num(7)), num(7)), ("req", str, "Req()"), ("big", type(num(2**70)), num(2**70))]
    # Reserved, non-ASCII and non-name expressions stay in the message only.
    assert list(members(second).items()) == [("flag", num(True)), ("none", num(None)), ("x", num(1.5))]
    assert [(k, str(v)) for k, v in members(third).items()] == [("n", "42"), ("request", "r-1"), ("x", "1.5"),
                                                                ("k", "1")]


def test_arguments_disabled_levels_msg_template_exception_and_stdlib(tmp_path):
    run_py("""
        import logging, tarnwick
        from string.templatelib import Interpolation, Template
        log = tarnwick.PyLogger("app", path="f.log")
        x = 1
        for call in (lambda: log.info(t"{x}", 2), lambda: log.debug(t"{x}", 2), lambda: log.exception(t"{x}", 2)):
            try:
                call()
            except TypeError as e:
                assert "template message takes no substitution arguments" in str(e), e
            else:
                raise AssertionError("no TypeError")
        class Loud:
            def __format__(self, spec): raise RuntimeError("formatted")
        log.debug(t"{Loud()}")  # a disabled level formats nothing
        try:
            log.info(t"{Loud()}")
        except RuntimeError:
            pass
        tarnwick.basic_config(msg_template=True)
        w = 3
        log.info(t"a {x!r:>{w}} {{b}} {x + 1}")
        # Two sites may share one strings tuple: the expressions tell them apart.
        for y in (5,):
            log.info(t"v {x}")
            log.info(t"v {y}")
        try:
            1 / 0
        except ZeroDivisionError:
            log.exception(t"failed {x}")
        handler = tarnwick.Handler("f.log")
        std = logging.getLogger("lib")
        std.addHandler(handler)
        std.warning(t"std {x}", extra={"k": 2})
        tarnwick.basic_config()
        log.info(Template("manual ", Interpolation(9, "x")))
        class Noisy:  # logs enough other sites to push this one's parse out of the cache
            def __format__(self, spec):
                for i in range(100):
                    nested.info(Template(f"nested {i} ", Interpolation(i, "i"), ""))
                return "noisy"
            __str__ = lambda self: self.__format__("")
        nested = tarnwick.PyLogger("nested", path="nested.log")
        log.info(t"{x} {Noisy()} {y}")
        std.warning(t"std {x} {y}", extra={"k": Noisy()})
        nested.shutdown()
        handler.close()
        log.shutdown()
        """, cwd=tmp_path)
    records = [parse(line) for line in read_lines(tmp_path, "f_*.log")]
    got = [(r["msg"], [(k, str(v)) for k, v in members(r).items() if not k.startswith("exception.s")])
           for r in records]
    assert got == [
        ("a   1 {b} 2", [("msg_template", "a {x!r:>3} {{b}} {x + 1}"), ("x", "1")]),
        ("v 1", [("msg_template", "v {x}"), ("x", "1")]),
        ("v 5", [("msg_template", "v {y}"), ("y", "5")]),
        ("failed 1", [("msg_template", "failed {x}"), ("x", "1"), ("exception.type", "ZeroDivisionError"),
                      ("exception.message", "division by zero")]),
        ("std 1", [("msg_template", "std {x}"), ("x", "1"), ("k", "2")]),
        ("manual 9", [("x", "9")]),
        ("1 noisy 5", [("x", "1"), ("y", "5")]),
        ("std 1 5", [("x", "1"), ("y", "5"), ("k", "noisy")]),
    ]


def test_parse_cache_is_bounded_and_lets_go_of_its_keys(tmp_path):
    run_py("""
        import sys, threading, tarnwick
        from string.templatelib import Interpolation, Template
        log = tarnwick.PyLogger("app", path="f.log")
        first = Template("static ", Interpolation(0, "i"), "")
        before = sys.getrefcount(first.strings)
        log.info(first)
        assert sys.getrefcount(first.strings) == before + 1  # parsed and kept
        for i in range(1, 1001):  # each a new strings tuple: new sites push old ones out
            log.info(Template(f"static {i} ", Interpolation(i, "i"), ""))
        assert sys.getrefcount(first.strings) == before, "a pushed-out key is still held"
        in_thread = Template("thread ", Interpolation(1001, "i"), "")
        base = sys.getrefcount(in_thread.strings)
        t = threading.Thread(target=log.info, args=(in_thread,))
        t.start(); t.join()
        assert sys.getrefcount(in_thread.strings) == base, "the ended thread's cache still holds it"
        log.shutdown()
        """, cwd=tmp_path)
    records = [parse(line) for line in read_lines(tmp_path)]
    assert len(records) == 1002 and all(str(r["i"]) == r["msg"].split()[-1] for r in records)
