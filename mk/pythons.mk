# The one abi3 wheel on every CPython from 3.8 on that pyenv has here (part of `make test`):
# each gets a virtualenv in build/pythons/ (kept, so later runs only reinstall the wheel; numpy
# comes through pip's cache) and runs tests/support/smoke_python.py: import, draw, record, play, info.
#   PYENV_VERSIONS   where the interpreters are (default: ~/.pyenv/versions)
PYENV_VERSIONS ?= $(HOME)/.pyenv/versions
EXTRA_TESTS += pythons-smoke

.PHONY: pythons-smoke

pythons-smoke: $(VENV)/.installed
	@found=0; for root in $(PYENV_VERSIONS)/3.*; do \
	  minor=$$(basename $$root | cut -d. -f2); \
	  [ -x $$root/bin/python3 ] && [ "$$minor" -ge 8 ] 2>/dev/null || continue; \
	  found=$$((found + 1)); env=build/pythons/$$(basename $$root); \
	  [ -x $$env/bin/python ] || $$root/bin/python3 -m venv $$env || exit 1; \
	  $$env/bin/python -c 'import numpy' 2>/dev/null || $$env/bin/python -m pip install -q numpy || exit 1; \
	  $$env/bin/python -m pip install -q --force-reinstall --no-deps dist/corvane-*.whl || exit 1; \
	  (cd build && ../$$env/bin/python ../tests/support/smoke_python.py >/dev/null) || exit 1; \
	done; \
	if [ $$found = 0 ]; then echo "pythons-smoke: no CPython 3.8 or later under $(PYENV_VERSIONS); skipped"; fi
