"""Traceback entries of compiled code: each location's frame is made once
and shared by every later entry there, and the tracebacks still read as the
source's do."""

import json
import re
import subprocess
import sys

import pytest

import tovel.options

from test_faithful import COMPILE, LIMITED

MODULE = """\
def pick(d, k, first):
    if first:
        return d[k]
    return d[k + 1]


def middle(d, k, first):
    value = pick(d, k, first)
    return value


def top(d, k, first):
    try:
        return middle(d, k, first)
    except KeyError as e:
        return e
"""

# Raises from both lines of pick in turn, three rounds, each exception caught
# in top; prints each traceback formatted, then each entry as
# "name tb_lineno f_lineno globals-are-the-module's". The frames are cleared
# after each round, as traceback.clear_frames users do.
SHOW = """\
import sys, traceback
sys.path.insert(0, sys.argv[1])
import tb
for i in range(3):
    for first in (True, False):
        e = tb.top({}, i, first)
        print("".join(traceback.format_exception(e)), end="")
        t = e.__traceback__
        while t:
            f = t.tb_frame
            print(f.f_code.co_name.rpartition(".")[2], t.tb_lineno, f.f_lineno, f.f_globals is vars(tb))
            t = t.tb_next
        traceback.clear_frames(e.__traceback__)
"""


ENTRY = re.compile(r"(\w+ \d+) (\d+) (True|False)")


def show(folder):
    # Run where the module lies: a compiled frame names its file as it was
    # translated, relative to there.
    proc = subprocess.run([sys.executable, "-I", "-c", SHOW, str(folder)], cwd=folder, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def readable(lines):
    """What both tell alike: compiled code has no columns (no caret lines)
    and names its file as it was translated."""
    out = []
    for line in lines:
        if re.fullmatch(r"\s*[~^]*\s*", line):
            continue
        out.append(re.sub(r'File "[^"]*tb\.py"', 'File "tb.py"', line))
    return out


@pytest.mark.parametrize("limited", [True, False], ids=["limited", "full"])
def test_tracebacks_through_compiled_code_read_as_the_source(tmp_path, limited):
    if limited and not LIMITED:
        pytest.skip("no limited API on this interpreter")
    source, built = tmp_path / "source", tmp_path / "built"
    for where in (source, built):
        where.mkdir()
        (where / "tb.py").write_text(MODULE)
    directives = json.dumps(tovel.options.directives(None, limited))
    proc = subprocess.run([sys.executable, "-c", COMPILE, str(built), directives, "1" if limited else "0"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    plain, compiled = show(source), show(built)
    entries = [line.split() for line in compiled if ENTRY.fullmatch(line)]
    # Each entry's frame is on its own line, even where a shared frame served
    # an entry of the other line of pick before.
    assert len(entries) == 18 and all(e[1] == e[2] for e in entries), compiled
    # A source frame that caught moved on to the handler's line: f_lineno is
    # compared above only.
    without_f_lineno = lambda lines: [ENTRY.sub(r"\1 \3", line) for line in readable(lines)]
    assert without_f_lineno(compiled) == without_f_lineno(plain)


def test_an_unknown_traceback_helper_stops_the_translation(tmp_path):
    """The mender meets a traceback helper of another Cython release: the
    translation fails, in one line that says so, rather than ship the C
    unmended."""
    (tmp_path / "m.py").write_text("X = 1\n")
    worker = ("import tovel.mender as m\n"
              "m.fix_c_file = lambda path: m.fix_c('static void __Pyx_AddTraceback(const char *funcname) {}')\n"
              "from tovel.translator import serve\nserve()\n")
    request = {"source": "m.py", "module": "m", "c": str(tmp_path / "m.c"),
               "directives": tovel.options.directives(None, LIMITED)}
    proc = subprocess.run([sys.executable, "-c", worker], input=json.dumps(request) + "\n", cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    answer = json.loads(proc.stdout)
    assert not answer["ok"] and answer["line"] == (
        "RuntimeError: tovel.mender: this Cython's traceback helper is not the one tovel knows "
        "(its cache type was not found)"), proc.stdout + proc.stderr



def test_generator_locals_are_left_unmended():
    """A compiled generator's locals are in no frame: reading them, under
    either import form, is named as a use the mender leaves as it is (which
    the scan fails)."""
    import ast

    import tovel.mender

    text = ("import inspect\nfrom inspect import getcoroutinelocals as locals_of\n"
            "def f(g):\n    return inspect.getgeneratorlocals(g), locals_of(g), inspect.getgeneratorstate(g)\n")
    unmended = tovel.mender.generator_checks(ast.parse(text))[2]
    assert [(n.lineno, n.col_offset, kind) for n, kind in unmended] == [(4, 11, "generator"), (4, 42, "generator")]
    # The scan reads the module for them, and fails it there.
    import tovel.scanner

    assert [(f["line"], f["fault"]) for f in tovel.scanner.scan(text, "m.py")] == [(4, True)]


def both_ways(tmp_path, name, text, show):
    """The output of `show` run beside the module `name` from source, then
    beside it compiled as tov compiles it (the limited API where there is one)."""
    source, built = tmp_path / "source", tmp_path / "built"
    for where in (source, built):
        where.mkdir()
        (where / f"{name}.py").write_text(text)
    directives = json.dumps(tovel.options.directives(None, LIMITED))
    proc = subprocess.run([sys.executable, "-c", COMPILE, str(built), directives, "1" if LIMITED else "0"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert list(built.glob(f"{name}.*.so")) or list(built.glob(f"{name}.*.pyd"))
    outs = [subprocess.run([sys.executable, "-I", "-c", "import sys; sys.path.insert(0, '.')\n" + show], cwd=where,
                           capture_output=True, text=True, timeout=60) for where in (source, built)]
    assert all(o.returncode == 0 for o in outs), [(o.returncode, o.stdout[-500:], o.stderr) for o in outs]
    return [o.stdout for o in outs]


def test_large_tables_are_evaluated_from_their_text(tmp_path):
    """A module-level table of hundreds of non-constant items (enum members)
    would keep the C compiler busy for minutes: the interpreter evaluates it
    from its text, to the source's value, with an error in it reported on
    its own line; a smaller table stays compiled."""
    rows = "".join(f"    ({i}, {i + 1}, K.{'AB'[i % 2]}),\n" for i in range(300))
    text = ("import enum, traceback\nclass K(enum.IntEnum):\n    A = 0\n    B = 1\n"
            f"T: tuple = (\n{rows})\nSMALL = [K.A, K.B]\n"
            f"try:\n    U = {{\n{rows.replace('),', '): 0,')}        K.C: 1}}\n"
            "except AttributeError as e:\n    LINE = traceback.extract_tb(e.__traceback__)[-1].lineno\n")
    # In a process of its own: the rewrite keeps what it learns on the module.
    rewritten = subprocess.run([sys.executable, "-c", "import sys, tovel.mender; "
                                "sys.stdout.write(tovel.mender.rewrite(sys.stdin.read()))"],
                               input=text, capture_output=True, text=True, timeout=120).stdout
    handler = "except AttributeError as e:"
    assert rewritten.count("eval(compile(") == 2
    assert rewritten.splitlines().index(handler) == text.splitlines().index(handler)
    show = ("import tab; print(tab.T == tuple((i, i + 1, tab.K(i % 2)) for i in range(300)),"
            " type(tab.T[1][2]).__name__, tab.LINE, tab.SMALL)")
    assert both_ways(tmp_path, "tab", text, show) == ["True K 610 [<K.A: 0>, <K.B: 1>]\n"] * 2


def test_compiled_functions_and_generators_pass_the_interpreters_type_checks(tmp_path):
    """Libraries check what they are given with isinstance(x,
    types.GeneratorType) (a document loader's two-step constructors),
    inspect.isgenerator or inspect.isfunction (mock's autospec, which passes
    self to a method's mock only for functions): a compiled generator,
    coroutine, async generator and function pass as the source's do, while
    type() and the mender's own checks still tell the compiled type. Code
    objects and traceback entries name the source file beside the module,
    as installed (none there: inspect finds no source, and says so as for a
    source module whose file is gone)."""
    text = ("import types\ndef gen():\n    yield 1\nasync def coro():\n    pass\nasync def agen():\n    yield 1\n"
            "def kinds(x):\n    return type(x) in {int, types.GeneratorType}\n"
            "class K:\n    def m(self, x):\n        return x\ndef bad():\n    raise ValueError\n")
    show = ("import inspect, os, traceback, types, functools, gk\n"
            "g, c, a = gk.gen(), gk.coro(), gk.agen()\n"
            "f = functools.singledispatch(lambda x: 'other'); f.register(types.GeneratorType, lambda x: 'gen')\n"
            "print(isinstance(g, types.GeneratorType), inspect.isgenerator(g), inspect.iscoroutine(c),\n"
            "      inspect.isasyncgen(a), isinstance(g, list), f(g), g.__class__.__name__, gk.kinds(g),\n"
            "      inspect.getgeneratorstate(g), inspect.isfunction(gk.gen), inspect.isfunction(gk.K().m))\n"
            "c.close()\nfrom unittest import mock\nwith mock.patch.object(gk.K, 'm', autospec=True) as m:\n"
            "    k = gk.K(); k.m(5); m.assert_called_once_with(k, 5)\n"
            "here = os.path.join(os.path.dirname(gk.__file__), 'gk.py')\n"
            "try:\n    gk.bad()\nexcept ValueError as e:\n    entry = traceback.extract_tb(e.__traceback__)[-1]\n"
            "os.remove('gk.py') if os.path.exists('gk.py') else None\n"
            "try:\n    inspect.getsource(gk.K.m)\nexcept OSError as e:\n    gone = str(e)\n"
            "print(gk.K.m.__code__.co_filename == here, (entry.filename, entry.name, entry.lineno) == (here, 'bad', 14), gone)\n")
    expected = ("True True True True False gen generator True GEN_CREATED True False\n"
                "True True could not get source code\n")
    assert both_ways(tmp_path, "gk", text, show) == [expected] * 2


def test_async_generator_expressions_rewritten_only_where_faithful():
    """Outside an async function, an async generator expression is rewritten
    with its lines in place; one that awaits, binds with :=, has a first
    iterable over lines, sits in an async function, or whose module binds
    exec or globals is left as it is."""
    rewrite = lambda text: subprocess.run(
        [sys.executable, "-c", "import sys, tovel.mender; sys.stdout.write(tovel.mender.rewrite(sys.stdin.read()))"],
        input=text, capture_output=True, text=True, timeout=120).stdout
    kept = ["def f(it):\n    return (await x async for x in it)\n",
            "def f(it):\n    return (y async for x in it if (y := x))\n",
            "def f(it):\n    return (x async for x in g(\n        it))\n",
            "async def f(it):\n    return (x async for x in it)\n",
            "def f(it):\n    return (x async for x in it)\nexec = repr\n"]
    for text in kept:
        assert rewrite(text).startswith(text)
    text = "def f(it):\n    return (x  # each\n            async for x in it\n            if x)\nafter = 1\n"
    out = rewrite(text)
    assert out.splitlines()[2].split() == ["for", "x", "in", "(__tovel_item__,)"]
    assert out.splitlines()[3].endswith("if x), it, '<genexpr>', 'f.<locals>.<genexpr>'))")
    assert out.splitlines()[4] == "after = 1" and len(out.splitlines()) == 5


def test_a_function_reads_its_callers_frame_as_the_source_does(tmp_path):
    """A deprecation wrapper names the line that called it through
    currentframe().f_back (semver's, inside typing.cast; cleo's, through a
    name bound to it), sys._getframe(1), an index into inspect.stack()
    or warnings.warn's stacklevel=2 (anytree's); compiled, these read one
    frame too far out: the caller's caller, None from a script's top level."""
    text = ("import inspect, sys, warnings\nfrom typing import cast\nfrom types import FrameType\n"
            "def old(func):\n    def wrapper(*a):\n"
            "        frame = cast(FrameType, cast(FrameType, inspect.currentframe()).f_back)\n"
            "        warnings.warn_explicit('old', DeprecationWarning, filename=frame.f_code.co_filename,"
            " lineno=frame.f_lineno)\n        return func(*a)\n    return wrapper\n"
            "@old\ndef twice(x):\n    return 2 * x\n"
            "def where():\n    return sys._getframe(1).f_lineno, sys._getframe().f_back.f_lineno\n"
            "def shout():\n    warnings.warn('s', UserWarning, stacklevel=2)\n"
            "def who():\n    frame = inspect.currentframe()\n    line = frame.f_back.f_lineno\n    del frame\n    return line\n"
            # fire's and portion's: the caller's name by an index into inspect's list.
            "def caller():\n    return inspect.stack()[1].function, inspect.getouterframes(inspect.currentframe())[1][3]\n")
    show = ("import warnings, dep\nwarnings.simplefilter('always')\n"
            "with warnings.catch_warnings(record=True) as w:\n    warnings.simplefilter('always')\n    dep.twice(2)\n"
            "def inner():\n    return dep.twice(3)\n"
            "with warnings.catch_warnings(record=True) as v:\n    warnings.simplefilter('always')\n    inner()\n"
            "with warnings.catch_warnings(record=True) as u:\n    warnings.simplefilter('always')\n    dep.shout()\n"
            "print(w[0].lineno, v[0].lineno, u[0].lineno, dep.where(), dep.who())\n"
            "def main():\n    return dep.caller()\nprint(main())\n")
    assert both_ways(tmp_path, "dep", text, show) == ["6 8 14 (15, 15) 15\n('main', 'main')\n"] * 2


def test_a_functions_warning_is_its_own_modules(tmp_path):
    """warnings.warn with no stacklevel names the line calling it and its
    module, whose filters apply and whose __warningregistry__ it fills;
    compiled, the function has no frame and the warning was its caller's
    (defusedxml's module=... error filter let its DeprecationWarning by).
    A warning instance gives its class, a category that is no Warning the
    TypeError, and a warn patched in is called as it is."""
    text = ("import warnings\nfrom warnings import warn as w\n"
            "def old():\n    warnings.warn('old', DeprecationWarning)\n"
            "def plain():\n    x = 1\n    w(\n        UserWarning('inst'))\n"
            "def bad():\n    warnings.warn('x', int)\n")
    show = ("import warnings, dep\nwarnings.filterwarnings('error', module='dep')\n"
            "try:\n    dep.old()\n    print('shown')\nexcept DeprecationWarning:\n    print('raised')\n"
            "warnings.resetwarnings()\n"
            "with warnings.catch_warnings(record=True) as r:\n    warnings.simplefilter('always')\n    dep.plain()\n"
            "print(r[0].filename.rsplit('/', 1)[-1], r[0].lineno, r[0].category.__name__, '__warningregistry__' in vars(dep))\n"
            "try:\n    dep.bad()\nexcept TypeError as e:\n    print(e)\n"
            "dep.w = lambda m: print('patched', m)\ndep.plain()\n")
    source, built = both_ways(tmp_path, "dep", text, show)
    # The TypeError's words name the category's type ('type' up to 3.14, "class 'int'" on 3.15).
    assert source == built, (source, built)
    assert source.startswith("raised\ndep.py 7 UserWarning True\ncategory must be a Warning subclass, not ") and \
        source.endswith("\npatched inst\n"), source


def test_a_functions_log_record_names_its_own_line(tmp_path):
    """A log record names the file, line and function of the innermost
    Python frame outside logging; compiled, the function logging has none,
    and the record named its caller's (colorlog's wrappers, any library's
    `log.info`). A logger whose class finds its callers itself, a generator
    expression's code and logging's own functions keep theirs."""
    text = ("import logging\nlog = logging.getLogger('dep')\n"
            "class Mine(logging.Logger):\n    def findCaller(self, stack_info=False, stacklevel=1):\n"
            "        return ('mine', 1, 'found', None)\n"
            "def work():\n    log.info('a %s', 1)\n    try:\n        1 / 0\n    except ZeroDivisionError:\n"
            "        log.exception('b')\n    logging.getLogger('dep').log(logging.WARNING, 'c')\n"
            "    logging.warning('d')\n    log.debug('hidden')\n    mine.info('e')\n"
            "    list(log.error(x) for x in 'f')\n    log.info(msg='g')\n    log.info('h', stacklevel=2)\n"
            "mine = Mine('mine')\n")
    show = ("import logging, os, dep\nclass Keep(logging.Handler):\n    def emit(self, r):\n"
            "        print(r.name, os.path.basename(r.pathname), r.lineno, r.funcName, r.getMessage(),"
            " r.exc_info and r.exc_info[0].__name__)\n"
            "logging.root.addHandler(Keep())\nlogging.root.setLevel(logging.INFO)\ndep.mine.addHandler(Keep())\n"
            "def main():\n    dep.work()\nmain()\n")
    assert both_ways(tmp_path, "dep", text, show) == [
        "dep dep.py 7 work a 1 None\ndep dep.py 11 work b ZeroDivisionError\ndep dep.py 12 work c None\n"
        "root dep.py 13 work d None\nmine mine 1 found e None\ndep dep.py 16 <genexpr> f None\n"
        "dep dep.py 17 work g None\ndep <string> 10 main h None\n"] * 2


def test_frame_depths_computed_or_at_module_level_are_left_alone():
    """A depth or stacklevel the code computes (by walking the frames, which
    counts Python frames already; a name bound to the frame more than once)
    and the module body's own reads (it runs under a frame) are not
    rewritten; a literal one inside a function is."""
    rewrite = lambda text: subprocess.run(
        [sys.executable, "-c", "import sys, tovel.mender; sys.stdout.write(tovel.mender.rewrite(sys.stdin.read()))"],
        input=text, capture_output=True, text=True, timeout=120).stdout
    kept = ("import inspect, sys, warnings\nwarnings.warn('m', stacklevel=2)\nTOP = sys._getframe(1)\n"
            "def f(n):\n    warnings.warn('x', stacklevel=n)\n    warnings.warn('y', stacklevel=1)\n"
            "    return (inspect.currentframe()).f_back, sys._getframe(n), inspect.currentframe()\n"
            "def walk():\n    frame = inspect.currentframe()\n    while frame:\n        frame = frame.f_back\n")
    assert rewrite(kept).startswith(kept)
    out = rewrite("import sys, warnings as w\nfrom sys import _getframe as up\n"
                  "def g():\n    w.warn('z', UserWarning, 3)\n    return sys._getframe(2), up(1)\n")
    assert out.splitlines()[3:5] == ["    w.warn('z', UserWarning, 2)", "    return sys._getframe(1), up(0)"]


def test_type_parameters_and_type_statements_compile_as_the_source_runs(tmp_path):
    """Cython parses neither `class Box[T]:` nor `type X = ...` (a third of
    pint's modules); rewritten, the parameters are TypeVars of the same
    names, lazy bounds and variance, a class is Generic over them, and a
    type statement stays lazy. Lines do not move: the error's line is the same."""
    text = ("import typing\nfrom typing import Protocol\n\n\nclass Box[T]:\n    '''A box.'''\n"
            "    def __init__(self, item: T) -> None:\n        self.item = item\n\n"
            "    # its own parameter\n    def pair[S: (int, str)](self, other: S) -> tuple[T, S]:\n"
            "        return typing.cast(T, self.item), other\n\n\n"
            "def first[\n    T: Later,\n](xs: list[T]) -> T:\n    return xs[0]\n\n\n"
            "class Spread[*Ts, **P](Protocol):\n    def f(self, *a: P.args, **k: P.kwargs) -> None: ...\n\n\n"
            "type Pair = tuple[Later, Later]\ntype Alias[K] = dict[K, list[K]]\n\n\n"
            "class Later:\n    pass\n\n\ndef fails():\n    raise ValueError\n"
            # No free line above: made by the first decorator, or when the module has run.
            "class Handler(Protocol):\n    def get[T](self, item: type[T]) -> T: ...\n    @staticmethod\n"
            "    def make[U](u: U) -> list[U]:\n        return [typing.cast(U, u)]\ndef top[V](v: V) -> V:\n    return v\n"
            # Inside a function: made at each call.
            "def outer(b):\n\n    def inner[W: b](w: W) -> W:\n        return typing.cast(W, w)\n    return inner\n")
    show = ("import g, traceback, typing\nT, = g.Box.__type_params__\n"
            "print(T, T.__infer_variance__, g.Box.__parameters__, g.Box.__orig_bases__, g.Box[int](3).pair(2))\n"
            "print(g.first.__type_params__[0].__bound__, typing.get_type_hints(g.first), g.Box.pair.__type_params__[0].__constraints__)\n"
            "print(g.Spread.__parameters__, [b.__name__ for b in g.Spread.__mro__], g.Pair.__value__, g.Alias[int].__value__)\n"
            "try:\n    g.fails()\nexcept ValueError as e:\n    print(traceback.extract_tb(e.__traceback__)[-1].lineno)\n"
            "print(typing.get_type_hints(g.Handler.get), g.Handler.make(3), g.top.__type_params__, typing.get_type_hints(g.top))\n"
            "print([(f.__type_params__[0].__bound__, f(1)) for f in (g.outer(int), g.outer(str))])\n")
    source, built = both_ways(tmp_path, "g", text, show)
    assert source == built and "T True (T,) (typing.Generic[T],) (3, 2)" in source, (source, built)


def test_runaway_recursion_raises_recursion_error_in_every_thread(tmp_path):
    """Calls between compiled functions escape the interpreter's count: a
    recursion without end overflowed the C stack and crashed where the source
    raises RecursionError; the compiled call now checks the stack it stands on."""
    text = ("import threading\n\ndef down(n):\n    return down(n + 1)\n\n\nclass Node:\n"
            "    def __init__(self, child):\n        self.child = child\n\n"
            "    def __eq__(self, other):\n        return self.child == other.child\n\n\n"
            "def chain():\n    n = None\n    for _ in range(200000):\n        n = Node(n)\n    return n\n\n\n"
            "def nested(n):\n    yield n\n    yield from nested(n + 1)\n\n\n"
            "def to(n):\n    return 0 if n == 0 else 1 + to(n - 1)\n\n\n"
            "def each():\n    out = []\n"
            "    for f in (lambda: down(0), lambda: chain() == chain(), lambda: list(nested(0))):\n"
            "        try:\n            f()\n        except RecursionError:\n            out.append('RecursionError')\n"
            "    return out\n\n\n"
            "def threaded(size):\n    threading.stack_size(size)\n    got = []\n"
            "    t = threading.Thread(target=lambda: got.append(each()))\n    t.start()\n    t.join()\n    return got\n")
    # The limit holds as the interpreter's does, lowered too (a recursion of
    # generators reached it only after minutes): not only the stack's end.
    show = ("import r, sys\nprint(r.each(), r.threaded(0), r.threaded(4 << 20))\nsys.setrecursionlimit(300)\n"
            "print(r.to(200))\ntry:\n    r.to(400)\nexcept RecursionError as e:\n    print(e)\n")
    source, built = both_ways(tmp_path, "r", text, show)
    assert source == built and source.count("RecursionError") == 9, (source, built)
    assert source.endswith("200\nmaximum recursion depth exceeded\n"), source


def test_an_isinstance_error_and_a_bytes_first_statement_read_as_the_source(tmp_path):
    """`isinstance(x, (list, tuple, Meta))` of a dead weakref.proxy raises
    ReferenceError, which the compiled test of a tuple took for true and left
    set (a SystemError); a bytes literal first in a module, class or function
    is no docstring, and stopped Cython's translation; doctest runs a
    function's doctest once, as from the source."""
    text = ('br"""module"""\nimport enum\n'
            'def listify(obj):\n    try:\n        return obj if isinstance(obj, (list, tuple, enum.EnumMeta)) else [obj]\n'
            '    except ReferenceError:\n        return "dead"\n'
            'class C:\n    b"""class"""\n    def m(self):\n        b""">>> 1"""\n        return 1\n'
            'def d():\n    """\n    >>> d()\n    2\n    """\n    return 2\n')
    # Its one doctest is found once, as the source's: no `__test__` dict repeats it.
    show = ("import doctest, weakref, bi\nclass Foo:\n    pass\no = Foo()\np = weakref.proxy(o)\ndel o\n"
            "print(bi.listify(p), bi.listify((1,)), bi.listify(3), bi.__doc__, bi.C.__doc__, bi.C.m.__doc__, bi.C().m(),\n"
            "      hasattr(bi, '__test__'), doctest.testmod(bi))\n")
    assert both_ways(tmp_path, "bi", text, show) == ["dead (1,) [3] None None None 1 False TestResults(failed=0, attempted=1)\n"] * 2


def test_future_imports_bind_their_names(tmp_path):
    """Cython takes `from __future__ import x` as a directive and binds no
    name: a function reading it (fire's completion) raised NameError."""
    text = ('"""doc"""\nfrom __future__ import absolute_import  # kept\nfrom __future__ import (division,\n'
            '    print_function as pf)\ndef features():\n    return absolute_import.compiler_flag, division, pf\n')
    show = "import fu\nprint(fu.features(), fu.__doc__)\n"
    source, built = both_ways(tmp_path, "fu", text, show)
    assert source == built and "_Feature" in source, (source, built)
