# make demo:       build and run the system end to end on this machine.
# make run:        the hub on a copy of examples/Forecast.xlsx, with its page and the IDE.
# make test:       build with the test probes, lint, and run the whole test suite.
# make test-asan:  the whole suite against modules built with AddressSanitizer (build-asan/).
# make test-debug: the core and kernel suites on Debian's debug interpreter (build-debug/).
# make test-versions: the core, kernel and stand-in suites on Python 3.9, 3.10, 3.12 and 3.13.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip

# The pinned build tools, and the build every target makes: test probes included, warnings fatal.
BUILD_TOOLS := -c build-constraints.txt scikit-build-core nanobind ninja cmake
BUILD       := --no-build-isolation -Ccmake.define.QUORVEL_PROBES=ON -Ccmake.define.QUORVEL_WERROR=ON

# The sanitizer build is installed into its own folder, put first on the path of the suite and of
# every process it starts. libasan must be loaded before anything else and libstdc++ with it (else
# ASan aborts at the first C++ throw); leaks are not checked (the interpreter keeps much to exit).
# Python objects come from malloc too, so that one freed by a wrong reference count is caught.
# Debug information (RelWithDebInfo, not stripped) lets its reports name our functions and lines.
ASAN_SITE := build-asan/site
ASAN_ENV  := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
             ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(ASAN_SITE)

DEBUG_PYTHON := /usr/bin/python3.11-dbg
DEBUG_VENV   := .venv-debug
DEBUG_PIP    := $(DEBUG_VENV)/bin/python -W ignore -m pip # the debug build warns of pip's open files

.PHONY: demo run test test-asan test-debug test-versions install test-tools ide-libraries lint \
        bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Build tools go into the virtual environment once; the build itself reuses build/ between runs.
install: $(PY)
	$(PIP) install --quiet $(BUILD_TOOLS)
	$(PIP) install --quiet $(BUILD) ".[test,ide]"

demo: install test-tools
	$(PY) -m devhub.demo

# The hub works on a copy in build/run/, made once: the repository's example stays as it is,
# and what a person changes in the copy is there at the next run.
RUN_DIR := build/run

# The X libraries the IDE window loads (see ide/gui/x_libraries.py), installed when this user
# may use apt-get (as root, or with sudo without a password); else the IDE names what is missing.
X_LIBRARIES := libxcb-cursor0 libxcb-icccm4 libxcb-keysyms1 libxcb-image0 libxcb-render-util0 \
               libxcb-randr0 libxcb-shape0 libxcb-xkb1 libxkbcommon-x11-0

ide-libraries:
	@missing=$$(for p in $(X_LIBRARIES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ] && command -v apt-get >/dev/null; then \
		if [ "$$(id -u)" = 0 ]; then as=""; elif sudo -n true 2>/dev/null; then as="sudo -n"; \
		else as=none; fi; \
		if [ "$$as" != none ]; then $$as apt-get install -y $$missing || \
			($$as apt-get update && $$as apt-get install -y $$missing) || \
			echo "Could not install $$missing: the IDE window may not start"; \
		else echo "The IDE window needs $$missing: sudo apt-get install $$missing"; fi; \
	fi

run: install ide-libraries
	mkdir -p $(RUN_DIR)
	test -e $(RUN_DIR)/Forecast.xlsx || cp examples/Forecast.xlsx $(RUN_DIR)/Forecast.xlsx
	$(PY) -m devhub --data-dir $(RUN_DIR)/data $(RUN_DIR)/Forecast.xlsx --open-ide --open-browser

# What the tests drive beside the project, installed when missing: Debian's Chromium and its
# driver (the page tests, and the sheet half of the demo) and LibreOffice Calc (reads the
# workbook files the hub writes).
test-tools:
	test -x /usr/bin/chromedriver -a -x /usr/bin/soffice || (apt-get update && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y chromium chromium-driver \
		libreoffice-calc-nogui)

# The Python is linted with ruff (rules in pyproject.toml) and the C++ checked against
# .clang-format, both at the versions `make install` pins, before the suite runs.
lint: install
	$(VENV)/bin/ruff check python tests bench
	find src -name '*.cpp' -o -name '*.hpp' | sort | xargs $(VENV)/bin/clang-format --dry-run -Werror

test: install test-tools lint
	$(PY) -m pytest

test-asan: install test-tools
	$(PIP) install --quiet --no-deps --upgrade --target $(ASAN_SITE) $(BUILD) \
		-Ccmake.define.QUORVEL_ASAN=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build-asan/{wheel_tag} .
	$(ASAN_ENV) $(PY) -m pytest

# Debian's debug interpreter checks reference counts and the garbage collector's invariants.
test-debug:
	test -x $(DEBUG_PYTHON) || (apt-get update && apt-get install -y python3.11-dbg python3.11-venv)
	test -x $(DEBUG_VENV)/bin/python || $(DEBUG_PYTHON) -m venv $(DEBUG_VENV)
	$(DEBUG_PIP) install --quiet --upgrade pip
	$(DEBUG_PIP) install --quiet $(BUILD_TOOLS)
	$(DEBUG_PIP) install --quiet $(BUILD) -Cbuild-dir=build-debug/{wheel_tag} ".[test]"
	$(DEBUG_VENV)/bin/python -m pytest -p no:pytest-qt tests/core tests/kernel

# The modules must work on every supported Python: each of these that pyenv has here gets its
# own build (build-py3.X/) and virtual environment (.venv-3.X/), and runs the core, kernel and
# stand-in suites; one pyenv lacks is named as skipped. The suites start the development hub,
# whose formula engine (formualizer) needs 3.10: on 3.9 the modules are built and imported, and
# only the tests that need no hub run.
PYENV_ROOT ?= $(HOME)/.pyenv
VERSIONS   := 3.9 3.10 3.12 3.13
SUITES     := tests/core tests/kernel tests/stand_ins
HUBLESS    := tests/stand_ins/test_serializer.py tests/stand_ins/test_worksheet_functions.py
MODULES    := python_server.kernel python_server._debug_tracer business_layer.packages.manager

test-versions:
	@for v in $(VERSIONS); do \
		py=$$(ls -d $(PYENV_ROOT)/versions/$$v.* 2>/dev/null | sort -V | tail -1)/bin/python; \
		if [ ! -x "$$py" ]; then echo "test-versions: Python $$v skipped (pyenv has none)"; \
			continue; fi; \
		echo "test-versions: Python $$v ($$py)"; \
		test -x .venv-$$v/bin/python || $$py -m venv .venv-$$v || exit 1; \
		.venv-$$v/bin/python -m pip install --quiet --upgrade pip && \
		.venv-$$v/bin/python -m pip install --quiet $(BUILD_TOOLS) && \
		.venv-$$v/bin/python -m pip install --quiet $(BUILD) -Cbuild-dir=build-py$$v/{wheel_tag} \
			".[test]" || exit 1; \
		if .venv-$$v/bin/python -c "import formualizer" 2>/dev/null; then \
			.venv-$$v/bin/python -m pytest -p no:pytest-qt $(SUITES) || exit 1; \
		else \
			echo "test-versions: Python $$v: no formula engine for the hub here; the modules are" \
				"imported and the tests that need no hub run"; \
			for m in $(MODULES); do .venv-$$v/bin/python -c "import $$m" || exit 1; done; \
			.venv-$$v/bin/python -m pytest -p no:pytest-qt --noconftest $(HUBLESS) || exit 1; \
		fi; \
	done

# Every benchmark prints its figures as ratios to a baseline measured in the same run.
BENCHES := roundtrip stream streaming install ide_roundtrip ide_dispatch ide_typing paths \
           vs_notebook_kernel formula_burst language debugger workbook_save sheet interrupt

bench: install
	for name in $(BENCHES); do $(PY) bench/$$name.py || exit 1; done

clean:
	rm -rf build build-asan build-debug build-py3.* $(VENV) $(DEBUG_VENV) .venv-3.*
