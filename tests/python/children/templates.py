"""Child programs of test_templates: template strings are syntax only Python 3.14 and later compile, so they
live in a file of their own, loaded only by a child on such an interpreter."""

import json
import logging
import sys
import threading
from string.templatelib import Interpolation, Template

import pytest

import tarnwick


def log_typed_fields(fmt):
    tarnwick.basic_config(format=fmt)
    log = tarnwick.PyLogger("app", path="f.log")

    class Req:
        id = 7

        def __repr__(self):
            return "Req()"

    user, n, x, big, flag, none, req, name = 'a"b', 42, 1.5, 2**70, True, None, Req(), "reserved"
    café = "not ascii"
    texts = [f"{user} {n:>5} {x:.3f} {user!r} {n + 1} {req.id} {req!a} { user } {user} {big}",
             f"{flag} {none} {name} {café} {[n][0]} {{lit}} {x=}"]
    log.info(t"{user} {n:>5} {x:.3f} {user!r} {n + 1} {req.id} {req!a} { user } {user} {big}")
    log.warning(t"{flag} {none} {name} {café} {[n][0]} {{lit}} {x=}")
    with tarnwick.context(n="ctx", request="r-1"):
        log.bind(x=0, k=1).error(t"{x} {n}")
    log.shutdown()
    print(json.dumps(texts))


def log_through_every_entry():
    log = tarnwick.PyLogger("app", path="f.log")
    x = 1
    for call in (lambda: log.info(t"{x}", 2), lambda: log.debug(t"{x}", 2), lambda: log.exception(t"{x}", 2)):
        with pytest.raises(TypeError, match="template message takes no substitution arguments"):
            call()

    class Loud:
        def __format__(self, spec):
            raise RuntimeError("formatted")

    log.debug(t"{Loud()}")  # a disabled level formats nothing
    with pytest.raises(RuntimeError):
        log.info(t"{Loud()}")
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

        def __str__(self):
            return self.__format__("")

    nested = tarnwick.PyLogger("nested", path="nested.log")
    log.info(t"{x} {Noisy()} {y}")
    std.warning(t"std {x} {y}", extra={"k": Noisy()})
    nested.shutdown()
    handler.close()
    log.shutdown()


def fill_the_parse_cache():
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
    t.start()
    t.join()
    assert sys.getrefcount(in_thread.strings) == base, "the ended thread's cache still holds it"
    log.shutdown()


def log_values_of_every_kind(fmt):
    tarnwick.basic_config(format=fmt)
    log = tarnwick.PyLogger("app", path="f.log")
    calls = []

    class Probe:
        def __init__(self, name):
            self.name = name

        def __format__(self, spec):
            calls.append("format " + self.name)
            return self.name

        def __str__(self):
            calls.append("str " + self.name)
            return self.name.upper()

    q, ctl, uni, long = 'q"\\', "a\tb\x01", "é☃", "x" * 40
    zero, neg, small, mid, top, low, big, f = 0, -5, 2**29, 2**62, 2**63 - 1, -2**63, 2**63, 0.1
    p, after, r = Probe("p"), 'a"', Probe("r")
    log.info(t"{q}|{ctl}|{uni}|{long}|{zero}|{neg}|{small}|{mid}|{top}|{low}|{big}|{f}|{p}|{after}|{r}|{small}")
    log.shutdown()
    text = f"{q}|{ctl}|{uni}|{long}|{zero}|{neg}|{small}|{mid}|{top}|{low}|{big}|{f}|p|{after}|r|{small}"
    print(json.dumps([calls, text]))


def log_plain_names_of_every_size(fmt):
    """Templates of str and int names only, static parts and values of every short length and past them,
    up to and past the names and the field text written in one go; prints the f-string texts and fields."""
    tarnwick.basic_config(format=fmt)
    log = tarnwick.PyLogger("app", path="f.log")
    spaced = tarnwick.PyLogger("a b", path="f.log")  # a quoted name
    expected = []

    def put(target, *parts):  # parts: static, (value, expression), static, ...
        args = [p if isinstance(p, str) else Interpolation(*p) for p in parts]
        target(Template(*args))
        fields = {}
        for p in parts:
            if not isinstance(p, str) and p[1].isidentifier() and p[1] not in fields:
                fields[p[1]] = p[0]
        expected.append(["".join(p if isinstance(p, str) else str(p[0]) for p in parts), list(fields.items())])

    for n in (0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 300):
        s = "abcdefghij" * 31
        put(log.info, s[:n], (s[:n], "v"), s[n:2 * n], (n * 1000003 - 2**40, "k"), "")
    put(log.info, "", ("a", "a"), "", (-7, "b"), "", (0, "c"), "", ("", "d"), "")
    put(log.info, "", ("a", "a"), "", ("b", "b"), "", ("c", "c"), "", ("d", "d"), "", ("e", "e"), "")
    put(log.info, "q", ('say "hi"\n', "d['k']"), " ", ("é☃", "u"), " ", (2**62, "big"), " ", (3, "k"), " ", (4, "k"), "")
    put(spaced.warning, "w ", ("x" * 31, "a"), " ", ("y" * 31, "b"), " ", ("z" * 31, "c"), " ", ("w" * 31, "d"), "")
    put(log.info, "static only")
    try:
        1 / 0
    except ZeroDivisionError:
        put(log.exception, "failed ", ("ann", "user"), " ", (3, "n"), "")
    log.shutdown()
    spaced.shutdown()
    print(json.dumps(expected))
