# make demo: build and run the system end to end on this machine.
# make test: build with the test probes and run the whole test suite.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip

.PHONY: demo test install bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Build tools go into the virtual environment once; the build itself reuses build/ between runs.
install: $(PY)
	$(PIP) install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" ninja cmake
	$(PIP) install --quiet --no-build-isolation -Ccmake.define.QUORVEL_PROBES=ON ".[test,ide]"

demo: install
	$(PY) -m devhub.demo

test: install
	$(PY) -m pytest

# Every benchmark prints its figures as ratios to a baseline measured in the same run.
BENCHES := roundtrip stream streaming install ide_roundtrip ide_dispatch ide_typing paths \
           vs_notebook_kernel formula_burst language debugger

bench: install
	for name in $(BENCHES); do $(PY) bench/$$name.py || exit 1; done

clean:
	rm -rf build $(VENV)
