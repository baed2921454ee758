# Everything a fresh machine needs: `make test` and `make demo` create .venv, install the
# build and test requirements, build the extension modules and run. Rebuilds are incremental
# (scikit-build-core keeps its build tree under build/).
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
SOURCES := $(shell find quillbrax -name '*.cpp' -o -name '*.hpp' -o -name '*.py') CMakeLists.txt pyproject.toml

.PHONY: test test-asan demo build clean

test: $(VENV)/.built
	$(VENV)/bin/cmake -S . -B build/native -G Ninja -DQUILLBRAX_NATIVE_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/native --target test_nearix_kernels test_warpalign_kernels
	$(VENV)/bin/ctest --test-dir build/native --output-on-failure
	$(VENV)/bin/pytest -q

demo: $(VENV)/.built
	$(PY) examples/tour.py

build: $(VENV)/.built

$(VENV)/.deps: requirements-dev.txt
	@python=$$(sh tools/find_python.sh) || exit 1; \
	  test -x $(PY) || $$python -m venv $(VENV)
	$(PIP) install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

# The same sources and tests under AddressSanitizer and UndefinedBehaviorSanitizer, built in a
# tree of their own and imported ahead of the normal install. Any report aborts the run.
ASAN_DIR := build/asan
test-asan: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DQUILLBRAX_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	$(VENV)/bin/cmake --install $(ASAN_DIR) --prefix $(ASAN_DIR)/site >/dev/null
	cd quillbrax && find . -name '*.py' -exec install -D -m 644 {} ../$(ASAN_DIR)/site/quillbrax/{} \;
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONPATH=$(abspath $(ASAN_DIR)/site) $(VENV)/bin/pytest -q -p no:cacheprovider

clean:
	rm -rf build $(VENV)

# Benchmarks against the peer libraries, on the release build, one thread on both sides. Their
# requirements (bench/requirements.txt) are installed here only; `make test` does not need them.
.PHONY: bench bench-quick
$(VENV)/.bench-deps: bench/requirements.txt $(VENV)/.deps
	$(PIP) install --quiet --disable-pip-version-check -r bench/requirements.txt
	touch $@

bench: $(VENV)/.built $(VENV)/.bench-deps
	$(PY) bench/run_bench.py --out bench/results

bench-quick: $(VENV)/.built $(VENV)/.bench-deps
	$(PY) bench/run_bench.py --quick --out build/bench-quick
