# Fuzzing with clang's libFuzzer (Debian's clang 16 and its runtime library).
#   make fuzz-smoke                        every target for FUZZ_SMOKE_SECONDS each (part of `make test`)
#   make fuzz FUZZ_TARGET=player FUZZ_SECONDS=1800
#                                          one long run, its corpus kept in build/fuzz/long/<target>
# Targets and seed corpora live in fuzz/ (the seeds are small hand-made files). A crash leaves its
# input in build/fuzz/artifacts/; a minimised reproducer belongs in fuzz/corpus/<target>/, where
# every later smoke run replays it.
APT_PACKAGES += clang-16 libclang-rt-16-dev
EXTRA_TESTS += fuzz-smoke

FUZZ_BUILD := build/fuzz
# Debian 12's clang 16: the core captures structured bindings in lambdas, which clang 14 refuses.
FUZZ_CXX := clang++-16
FUZZ_NAMES := keys player inflate
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_TARGET ?= keys
FUZZ_SECONDS ?= 1800
# Per target: the largest input and the memory a single allocation may take. The limits make an
# allocation that follows a size field instead of the data a finding.
FUZZ_OPTIONS_keys := -max_len=8192 -rss_limit_mb=1024 -malloc_limit_mb=64
FUZZ_OPTIONS_player := -max_len=4096 -rss_limit_mb=2048 -malloc_limit_mb=256
FUZZ_OPTIONS_inflate := -max_len=16384 -rss_limit_mb=2048 -malloc_limit_mb=256
FUZZ_COMMON := -timeout=10 -print_final_stats=1
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: fuzz-build fuzz-smoke fuzz

fuzz-build: $(VENV)/.tools
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_PYTHON=OFF -DCORVANE_FUZZ=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(FUZZ_BUILD) --target $(addprefix fuzz_,$(FUZZ_NAMES))

# The scratch corpus comes first, so new inputs land there and fuzz/corpus stays as committed.
define fuzz_smoke_one
	@rm -rf $(FUZZ_BUILD)/smoke/$(1) && mkdir -p $(FUZZ_BUILD)/smoke/$(1) $(FUZZ_BUILD)/artifacts
	@echo "fuzz_$(1): $(FUZZ_SMOKE_SECONDS) s from fuzz/corpus/$(1)"
	@$(FUZZ_ENV) $(FUZZ_BUILD)/fuzz_$(1) $(FUZZ_COMMON) $(FUZZ_OPTIONS_$(1)) \
	  -max_total_time=$(FUZZ_SMOKE_SECONDS) -artifact_prefix=$(FUZZ_BUILD)/artifacts/$(1)- \
	  $(FUZZ_BUILD)/smoke/$(1) fuzz/corpus/$(1) > $(FUZZ_BUILD)/smoke-$(1).log 2>&1 \
	  || { tail -n 60 $(FUZZ_BUILD)/smoke-$(1).log; echo "fuzz_$(1) found a failure"; exit 1; }
	@grep -E '^(stat::number_of_executed_units|stat::new_units_added)' $(FUZZ_BUILD)/smoke-$(1).log || true

endef

fuzz-smoke: fuzz-build
	$(foreach t,$(FUZZ_NAMES),$(call fuzz_smoke_one,$(t)))

fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/long/$(FUZZ_TARGET) $(FUZZ_BUILD)/artifacts
	$(FUZZ_ENV) $(FUZZ_BUILD)/fuzz_$(FUZZ_TARGET) $(FUZZ_COMMON) $(FUZZ_OPTIONS_$(FUZZ_TARGET)) \
	  -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(FUZZ_BUILD)/artifacts/$(FUZZ_TARGET)- \
	  $(FUZZ_BUILD)/long/$(FUZZ_TARGET) fuzz/corpus/$(FUZZ_TARGET)
