# Everything a fresh machine needs: system packages, a virtualenv, the build, then the job.
#   make demo   the built-in animation on this terminal
#   make test   the checks (format, types), the ABI audit of the wheel, the Python tests and, from mk/,
#               the C++ unit tests and the suite under the sanitizers, fuzzing, every CPython
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
# libasound2: the sound output's library (tests open ALSA's null device through it).
# clang-format: Debian's default version keeps the C++ in the shape .clang-format gives it.
APT_PACKAGES := g++ make libopencv-core-dev libopencv-imgproc-dev zlib1g-dev libgtest-dev libasound2 clang-format
# av and Pillow: the video extra (decoding, sound, export); the package needs no OpenCV bindings.
PY_TOOLS := pytest numpy abi3audit scikit-build-core cmake ninja av Pillow mypy
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml

.DEFAULT_GOAL := demo
.PHONY: demo test cpp-test py-test audit lint system-deps clean FORCE

# Further targets (benchmarks, fuzzing, sanitizer runs) live in mk/, one topic a file; a file
# adds what `make test` must also run to EXTRA_TESTS and its Debian packages to APT_PACKAGES.
EXTRA_TESTS :=
include $(wildcard mk/*.mk)

demo: $(VENV)/.installed
	$(VPY) -m corvane demo

# The C++ unit tests run in the sanitized build (mk/sanitize.mk), so the core is compiled for the
# tests only there and in the wheel; `make cpp-test` runs them in a plain build.
test: lint audit py-test $(EXTRA_TESTS)

CXX_SOURCES = $(shell git ls-files -co --exclude-standard 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp')

lint: $(VENV)/.installed
	clang-format --dry-run -Werror $(CXX_SOURCES)
	$(VENV)/bin/mypy --strict python/corvane

system-deps: $(VENV)/.system-deps

# The stamps below hold the package lists they were made for, so adding a package re-runs the
# install while an unchanged list costs only the check.
$(VENV)/.system-deps: FORCE
	@if ! dpkg -s $(APT_PACKAGES) >/dev/null 2>&1; then \
	  echo "Installing system packages: $(APT_PACKAGES)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(APT_PACKAGES) >/dev/null; \
	fi
	@[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	@echo "$(APT_PACKAGES)" | cmp -s - $@ || echo "$(APT_PACKAGES)" > $@

$(VENV)/.tools-list: $(VENV)/.system-deps FORCE
	@echo "$(PY_TOOLS)" | cmp -s - $@ || echo "$(PY_TOOLS)" > $@

$(VENV)/.tools: $(VENV)/.tools-list
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_TOOLS)
	@touch $@

# One abi3 wheel, installed into the virtualenv; the build tree is kept for quick rebuilds.
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	rm -rf dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w dist .
	$(VPY) -m pip install -q --force-reinstall --no-deps dist/corvane-*.whl
	@touch $@

audit: $(VENV)/.installed
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.8 --verbose dist/corvane-*.whl

cpp-test: $(VENV)/.tools
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B build/cpp -G Ninja -DCORVANE_PYTHON=OFF -DCORVANE_CPP_TESTS=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build build/cpp
	build/cpp/corvane_cpp_tests --gtest_brief=1

py-test: $(VENV)/.installed
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

clean:
	rm -rf build dist $(VENV)
