# Real terminal emulators under a virtual X server: the tests in tests/library/test_terminals.py
# screenshot xterm (-ti vt340 for sixel), mlterm and kitty; `make bench-terminals` times the
# frames they take in (benchmarks/terminals_bench.py).
#   xfonts-base: xterm's default bitmap font; fonts-dejavu-core: kitty's and mlterm's.
#   imagemagick: `import -window`, the screenshot; xdotool: the window of a process.
APT_PACKAGES += xvfb xterm mlterm kitty imagemagick xdotool x11-utils xfonts-base fonts-dejavu-core

.PHONY: bench-terminals
bench-terminals: $(VENV)/.installed
	$(VPY) benchmarks/terminals_bench.py $(BENCH_TERMINALS_ARGS)
