# make test: the test suite on every CPython >= 3.12 found, one virtual
#            environment per version under .venv/
# make demo: installs the tool and compiles and wheels examples/vemo
.PHONY: test demo pythons clean

test:
	@tools/test.sh

demo:
	@tools/demo.sh

pythons:
	@tools/pythons.sh

# Removes what the targets made: the environments and the example's outputs.
clean:
	rm -rf .venv examples/vemo/build examples/vemo/dist examples/vemo/pyproject.toml examples/vemo/*.egg-info
