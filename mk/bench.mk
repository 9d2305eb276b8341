# Benchmarks: `make bench` (full, about 15 minutes), `make bench-quick`; results in benchmarks/results/.
# `make bench-show`: `corvane show` and `view` against timg and chafa, imshow against the Screen
# loop; `make bench` runs it after the render suite.
#   BENCH_ARGS   extra arguments for benchmarks/bench.py (for example --no-peers)
# `make test` also runs the harness once on a handful of frames (bench-smoke): no timing is
# judged there, only that every case still runs and yields its figures.
BENCH_PEERS := timg chafa
BENCH_ARGS ?=

.PHONY: bench bench-quick bench-smoke bench-peers bench-wire bench-show bench-cells
EXTRA_TESTS += bench-smoke

bench: $(VENV)/.installed bench-peers
	$(VPY) benchmarks/bench.py $(BENCH_ARGS)
	$(VPY) benchmarks/bench_show.py $(BENCH_SHOW_ARGS)

bench-quick: $(VENV)/.installed bench-peers
	$(VPY) benchmarks/bench.py --quick $(BENCH_ARGS)

bench-show: $(VENV)/.installed bench-peers
	$(VPY) benchmarks/bench_show.py $(BENCH_SHOW_ARGS)

bench-smoke: $(VENV)/.installed
	$(VPY) -m pytest -q -p no:cacheprovider benchmarks/test_bench.py

# The peers are optional: installed from Debian when missing, and left out if that fails.
bench-peers:
	@missing=""; for p in $(BENCH_PEERS); do command -v $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing benchmark peers:$$missing"; \
	  { $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; } \
	    || echo "Peers not installed:$$missing; benchmarking without them"; \
	fi

.PHONY: bench-media
bench-media: $(VENV)/.installed
	$(VPY) benchmarks/media_bench.py $(MEDIA_BENCH_ARGS)
# The wire encoder against the exact stream through a 2 MB/s pty link (benchmarks/wire_bench.py).
bench-wire: $(VENV)/.installed
	$(VPY) benchmarks/wire_bench.py $(BENCH_ARGS)
# Finer cells and sixel: picture quality, bytes and encoding time against their bars
# (benchmarks/cells_bench.py; figures in benchmarks/README.md).
bench-cells: $(VENV)/.installed
	$(VPY) benchmarks/cells_bench.py $(CELLS_BENCH_ARGS)
