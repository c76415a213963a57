# make test: the whole test suite on the first CPython >= 3.12 found, and the
#            tests whose outcome depends on the interpreter on the others:
#            every other CPython >= 3.12 found (one virtual environment per
#            version under .venv/), CPython 3.14 and 3.15 in a Debian unstable
#            tree (tools/chroot314.sh; needs root), and the free-threaded
#            CPython 3.14t, built once from the source release in
#            ../shared/cpython and kept (tools/python314t.sh)
# make test-all: the whole suite on each of them
# make demo: installs the tool and compiles and wheels examples/vemo
# make realworld: compiles real packages from the package index and runs their
#            own tests against the compiled wheels (downloads; not in make test)
# make bench: installs the tool and runs the benchmarks, BENCHMARKS.md
#            (BENCH_QUICK=1: a quick check; BENCH_SMOKE=1: tiny and offline,
#            as the test suite runs it)
# make bench314: the runtime part of the benchmarks on CPython 3.14, in the
#            Debian unstable tree of make test (tools/chroot314.sh --bench;
#            needs root; BENCH_* settings as for make bench)
# make wheel: a wheel of tovel for the first interpreter found, in dist/,
#            for projects whose back end is tovel.build_meta (README)
.PHONY: test test-all demo wheel bench bench314 realworld pythons clean

test:
	@tools/test.sh

test-all:
	@tools/test.sh --all

demo:
	@tools/demo.sh

# The wheel holds C++ modules for one interpreter: PYTHON=python3.13 picks another.
wheel:
	@set -e; python=$${PYTHON:-$$(tools/pythons.sh | head -n 1)}; \
	"$$python" -m pip wheel -q --no-deps -w dist . && ls dist/tovel-*.whl

# The first interpreter found, in its environment under .venv/ (as make demo).
realworld:
	@set -e; pythons=$$(tools/pythons.sh); python=$$(echo "$$pythons" | head -n 1); \
	venv_python=$$(tools/venv.sh "$$python"); \
	"$$venv_python" realworld/run.py

# The first interpreter found, in its environment under .venv/ (as make demo).
bench:
	@set -e; pythons=$$(tools/pythons.sh); python=$$(echo "$$pythons" | head -n 1); \
	venv_python=$$(tools/venv.sh "$$python"); \
	"$$venv_python" bench/bench.py

bench314:
	@tools/chroot314.sh --bench

pythons:
	@tools/pythons.sh

# Removes what the targets made: the environments and the example's outputs.
clean:
	rm -rf .venv examples/vemo/build examples/vemo/dist examples/vemo/pyproject.toml examples/vemo/*.egg-info
