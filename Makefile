# Development entry points. Each target sets up what it needs in .venv.
#   make demo   install vantry from this checkout and run the examples (the CLI too)
#   make test   build the wheel, install it with the test extras, run the tests
#   make test-py314  the same wheel and suite under CPython 3.14 (as root)
#   make bench  install the bench extras and run the benchmarks

PYTHON ?= python3
VENV ?= .venv
DIST ?= dist
PY := $(VENV)/bin/python

.PHONY: demo test test-py314 wheel install bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# One abi3 wheel; every interpreter from 3.11 on installs this same file.
wheel: $(PY)
	rm -rf $(DIST)
	$(PY) -m pip wheel -q --no-deps -w $(DIST) .

install: wheel
	$(PY) -m pip install -q "$$(ls $(DIST)/vantry-*.whl)[test,ac]"
	$(PY) -m pip install -q --force-reinstall --no-deps $(DIST)/vantry-*.whl

demo: install
	PATH="$(abspath $(VENV))/bin:$$PATH" bash examples/demo.sh
	$(PY) examples/normalise.py

test: install
	$(PY) -m pytest -q tests

# The same wheel under CPython 3.14 from Debian unstable, in a chroot (root only).
test-py314: wheel
	bash .ci/py314

bench: install
	$(PY) -m pip install -q "$$(ls $(DIST)/vantry-*.whl)[bench]"
	$(PY) -m bench

clean:
	rm -rf $(VENV) $(DIST) build
