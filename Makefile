# One-command set-up: every target installs what it needs first.
PYTHON ?= python3
CXX    ?= c++
VENV   := .venv
VPY    := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
INPLACE_BUILD := build/inplace

.PHONY: all erfa venv install test asan-build test-asan fuzz-smoke fuzz run bench dev lint format clean

all: test

# ERFA from Debian's liberfa-dev, only when pkg-config cannot find it.
erfa:
	@if command -v pkg-config >/dev/null 2>&1 && pkg-config --exists erfa; then \
	  echo "ERFA $$(pkg-config --modversion erfa) found"; \
	else \
	  echo "Installing ERFA (liberfa-dev) and pkg-config"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq liberfa-dev pkg-config; \
	fi

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

venv: $(VPY)

# Builds the package and installs it with its test extras into .venv.
install: erfa venv
	$(VPY) -m pip install -q ".[test]"

test: install
	$(VPY) -m pytest -q -p no:cacheprovider tests

# The whole suite against an AddressSanitizer + UBSan build of every extension
# (the interpreter itself uninstrumented, the runtimes preloaded); any report
# aborts the run and fails the target. The build also turns on libstdc++'s
# bounds assertions. Leak detection stays off: CPython leaks by design at exit
# (reference leaks are the job of tests/test_leaks.py). The leak and property
# tests run with fewer calls and examples there (the sanitized code is slower).
# One suppression: the sgp4 package's own extension (vallado_cpp, not ours,
# not instrumented) strcpy()s its catalogue number onto itself, which the
# preloaded runtime's strcpy reports as overlapping. The package only loads
# there as the tests' oracle of the SGP4 port (nothing under src/ imports it).
MODULE_COUNT := $(shell grep -c '^velarion_module.velarion' CMakeLists.txt)
ASAN_ROOT := build/asan-root
ASAN_SUPP := $(ASAN_ROOT)/asan.supp
ASAN_RUNTIMES = $$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)
ASAN_ENV = PYTHONPATH=$(abspath $(ASAN_ROOT)) LD_PRELOAD="$(ASAN_RUNTIMES)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:check_initialization_order=1:strict_string_checks=1:suppressions=$(abspath $(ASAN_SUPP)) \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1

asan-build: install
	$(VPY) -m pip install -q cmake ninja
	$(VPY) -m cmake -S . -B build/asan -G Ninja -DVELARION_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_INSTALL_PREFIX=$(abspath $(ASAN_ROOT)) >/dev/null
	$(VPY) -m cmake --build build/asan -j2
	rm -rf $(ASAN_ROOT) && mkdir -p $(ASAN_ROOT)
	cp -r src/velarion $(ASAN_ROOT)/ && find $(ASAN_ROOT) -name '*.so' -delete
	$(VPY) -m cmake --install build/asan >/dev/null
	echo "interceptor_via_lib:vallado_cpp" > $(ASAN_SUPP)
	@# Every extension must come from the sanitized build, none from elsewhere.
	cd / && $(ASAN_ENV) $(abspath $(VPY)) -c "import importlib, pathlib, sys; \
	  root = pathlib.Path('$(abspath $(ASAN_ROOT))'); \
	  sos = sorted(p.relative_to(root).with_suffix('').with_suffix('').as_posix().replace('/', '.') for p in root.rglob('*.so')); \
	  bad = [m for m in sos if not pathlib.Path(importlib.import_module(m).__file__).is_relative_to(root)]; \
	  sys.exit(f'not from {root}: {bad}' if bad or len(sos) < $(MODULE_COUNT) else 0)"

test-asan: asan-build
	$(ASAN_ENV) VELARION_LEAK_CALLS=2000 HYPOTHESIS_PROFILE=asan \
	  $(VPY) -m pytest -q -p no:cacheprovider tests

# Fuzzing (atheris, the harnesses of fuzz/): fuzz-smoke runs each harness for
# FUZZ_SMOKE_SECONDS (CI), fuzz for FUZZ_SECONDS (a longer hunt), on the
# installed package. Corpora and crash inputs go to build/fuzz/<harness>/.
# With FUZZ_ASAN=1 a second run as long replays those corpora against the
# sanitized build and keeps mutating them (memory errors in the parsers
# abort; libFuzzer has no coverage feedback there, see fuzz/README.md).
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_SECONDS ?= 1800
FUZZ_DEPS := install
FUZZ_SANITIZED :=
ifeq ($(FUZZ_ASAN),1)
FUZZ_DEPS += asan-build
FUZZ_SANITIZED = $(ASAN_ENV) $(VPY) fuzz/run.py --label sanitized --seconds
endif

fuzz-smoke: $(FUZZ_DEPS)
	$(VPY) fuzz/run.py --seconds $(FUZZ_SMOKE_SECONDS)
	$(if $(FUZZ_SANITIZED),$(FUZZ_SANITIZED) $(FUZZ_SMOKE_SECONDS))

fuzz: $(FUZZ_DEPS)
	$(VPY) fuzz/run.py --seconds $(FUZZ_SECONDS)
	$(if $(FUZZ_SANITIZED),$(FUZZ_SANITIZED) $(FUZZ_SECONDS))

# `velarion passes` on its embedded sample (the ISS over ESA's Redu station).
run: install
	$(VPY) -m velarion passes

# Every benchmark and accuracy check; rewrites the tables of README.md
# (`python benchmarks/run.py AREA` times one area without touching it).
bench: install
	$(VPY) -m pip install -q ".[bench]"
	$(VPY) benchmarks/readme_tables.py

# Fast development loop: incremental in-place build of the extensions;
# then `PYTHONPATH=src python -m pytest tests` runs against the sources.
dev: erfa venv
	$(VPY) -m pip install -q cmake ninja $$($(VPY) -c 'import tomllib' 2>/dev/null || echo tomli)
	$(VPY) tools/requirements.py test > $(VENV)/dev-requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/dev-requirements.txt
	$(VPY) -m cmake -S . -B $(INPLACE_BUILD) -G Ninja -DVELARION_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VPY) -m cmake --build $(INPLACE_BUILD) -j2

# Format and lint, machine-checked (CI runs it): clang-format on the C++
# (.clang-format), clang-tidy for includes nothing uses (.clang-tidy), ruff
# (configured in pyproject.toml) and mypy --strict (pinned in the test extra)
# on the Python, and a build of every extension with strict warnings as errors.
# `make format` rewrites what the format checks would refuse.
LINT_TOOLS := clang-format==19.1.7 ruff==0.17.6 clang-tidy==23.1.4 cmake ninja
CXX_SOURCES = $$(find src -name '*.cpp' -o -name '*.hpp')
PY_TREES := src tests benchmarks examples fuzz tools

lint: install
	$(VPY) -m pip install -q $(LINT_TOOLS)
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check $(PY_TREES)
	$(VENV)/bin/ruff format --check $(PY_TREES)
	$(VPY) -m mypy
	@# clang-tidy reads the compile commands of a plain configuration (its
	@# clang would take the strict build's -Werror to its own warnings).
	$(VPY) -m cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	find src -name '*.cpp' | xargs -P2 -n8 $(VENV)/bin/clang-tidy -p build/tidy --quiet
	$(VPY) -m cmake -S . -B build/strict -G Ninja -DVELARION_STRICT=ON -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VPY) -m cmake --build build/strict -j2

format: venv
	$(VPY) -m pip install -q $(LINT_TOOLS)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix-only -q $(PY_TREES)
	$(VENV)/bin/ruff format -q $(PY_TREES)

clean:
	rm -rf build $(VENV)
	find src -name '*.so' -delete
