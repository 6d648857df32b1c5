# One-command set-up: every target installs what it needs first.
PYTHON ?= python3
CXX    ?= c++
VENV   := .venv
VPY    := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
INPLACE_BUILD := build/inplace

.PHONY: all erfa venv install test test-asan run bench dev clean

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
# (the interpreter itself uninstrumented, the runtime preloaded); any report fails.
ASAN_ROOT := build/asan-root
test-asan: install
	$(VPY) -m pip install -q cmake ninja
	$(VPY) -m cmake -S . -B build/asan -G Ninja -DVELARION_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_INSTALL_PREFIX=$(abspath $(ASAN_ROOT)) >/dev/null
	$(VPY) -m cmake --build build/asan -j2
	rm -rf $(ASAN_ROOT) && mkdir -p $(ASAN_ROOT)
	cp -r src/velarion $(ASAN_ROOT)/ && find $(ASAN_ROOT) -name '*.so' -delete
	$(VPY) -m cmake --install build/asan >/dev/null
	PYTHONPATH=$(abspath $(ASAN_ROOT)) LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(VPY) -m pytest -q -p no:cacheprovider tests

# `velarion passes` on its embedded sample (the ISS over ESA's Redu station).
run: install
	$(VPY) -m velarion passes

bench: install
	$(VPY) -m pip install -q ".[bench]"
	$(VPY) benchmarks/run.py

# Fast development loop: incremental in-place build of the extensions;
# then `PYTHONPATH=src python -m pytest tests` runs against the sources.
dev: erfa venv
	$(VPY) -m pip install -q scikit-build-core numpy cmake ninja pytest hypothesis pyerfa astropy scipy astropy-iers-data
	$(VPY) -m cmake -S . -B $(INPLACE_BUILD) -G Ninja -DVELARION_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VPY) -m cmake --build $(INPLACE_BUILD) -j2

clean:
	rm -rf build $(VENV)
	find src -name '*.so' -delete
