# AddressSanitizer and UndefinedBehaviorSanitizer runs (both part of `make test`).
#   make asan-cpp-test   the C++ unit tests built with the sanitizers
#   make asan-py-test    the whole pytest suite against the extension built with the sanitizers
#
# One build tree, build/asan, holds the core, the extension and the C++ tests, compiled by g++ so
# that the interpreter can preload g++'s own runtime. The sanitized `_corvane` goes ahead of the
# installed one on PYTHONPATH, and every child process the tests start inherits the preload.
# Undefined behaviour is compiled to trap (CMakeLists.txt), and AddressSanitizer reports the trap
# with its stack like any other error, so one runtime and one set of options cover both.
#
# Leak detection: LeakSanitizer cannot tell the module's leaks from the interpreter's (CPython
# leaves much of its memory to the end of the process, and a suppression that names the
# interpreter would match every stack, the module's included), so the suite runs with
# detect_leaks=0 and tests/native/test_bindings.py holds a targeted leak test: a child with detect_leaks=1
# drives every method and error path, then asks LeakSanitizer for unreachable blocks while the
# interpreter is still alive, which finds what the module lost and not what CPython keeps. The
# soak tests also watch reference counts, resident memory and descriptors in every build.
EXTRA_TESTS += asan-cpp-test asan-py-test

SAN_CXX := g++
ASAN_BUILD := build/asan
# The C++ runtime is preloaded too: AddressSanitizer intercepts the throwing of C++ exceptions and
# must find libstdc++ when it starts, before the interpreter loads the extension.
ASAN_RUNTIME = $(shell $(SAN_CXX) -print-file-name=libasan.so) $(shell $(SAN_CXX) -print-file-name=libstdc++.so)
# allocator_may_return_null: a huge allocation the tests provoke fails as it would without the
# sanitizer, instead of ending the process; max_allocation_size_mb keeps it from being tried.
# handle_sigill reports a trapped undefined behaviour, handle_abort an abort (an exception that
# escaped, a failed assertion).
SAN_ASAN_OPTIONS := detect_leaks=0:halt_on_error=1:handle_sigill=1:handle_abort=1:allocator_may_return_null=1:max_allocation_size_mb=2048:detect_stack_use_after_return=0
# Reports of every process, the children that tests start included, land here; a test may not
# look at a child's exit status, so the run fails on any error report found after it (the
# warnings of allocations refused on purpose are not errors).
SAN_LOGS := $(abspath $(ASAN_BUILD))/reports

.PHONY: asan-build asan-cpp-test asan-py-test

asan-build: $(VENV)/.tools
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=$(SAN_CXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON -DCORVANE_PYTHON=ON -DCORVANE_CPP_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(ASAN_BUILD)

asan-cpp-test: asan-build
	ASAN_OPTIONS=$(subst detect_leaks=0,detect_leaks=1,$(SAN_ASAN_OPTIONS)) $(ASAN_BUILD)/corvane_cpp_tests --gtest_brief=1

# A copy of the package with the sanitized `corvane._native` inside goes ahead of the installed one
# (`python -m corvane` included), and `_corvane` comes from the sanitized build as well.
# CORVANE_SANITIZED tells tests that exhaust memory on purpose to stand back.
asan-py-test: asan-build $(VENV)/.installed
	@rm -rf $(SAN_LOGS) $(ASAN_BUILD)/package && mkdir -p $(SAN_LOGS) $(ASAN_BUILD)/package
	@cp -r python/corvane $(ASAN_BUILD)/package/ && cp $(ASAN_BUILD)/_native*.so $(ASAN_BUILD)/package/corvane/
	cd tests && env LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
	  PYTHONPATH=$(abspath $(ASAN_BUILD))/package:$(abspath $(ASAN_BUILD)) CORVANE_SANITIZED=1 \
	  ASAN_OPTIONS=$(SAN_ASAN_OPTIONS):log_path=$(SAN_LOGS)/asan \
	  ../$(VPY) -m pytest -q -p no:cacheprovider .
	@found=$$(grep -l -E 'ERROR: |SUMMARY: ' $(SAN_LOGS)/* 2>/dev/null); \
	if [ -n "$$found" ]; then head -n 80 $$found; echo "sanitizer reports above"; exit 1; fi
