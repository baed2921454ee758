# Everything a fresh machine needs: `make test` and `make demo` create .venv, install the
# build and test requirements, build the extension modules and run. Rebuilds are incremental
# (scikit-build-core keeps its build tree under build/).
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
SOURCES := $(shell find quillbrax -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed) CMakeLists.txt pyproject.toml

.PHONY: test test-quick test-portable test-asan test-clang lint format demo build clean dist \
  test-wheel test-numpy-oldest test-py313 typecheck stubtest

# Development and CI builds treat warnings as errors; a user's pip install of the sdist does not.
CMAKE_DEV  := -DQUILLBRAX_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
              -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
NATIVE_TESTS := test_nearix_kernels test_warpalign_kernels

# The kernels of the machine (AVX2 where it has it, AVX-512 for the pairwise kernels and the k-d
# tree's where it has that), then the pairwise and k-d tree tests on their AVX2 kernels, which
# QUILLBRAX_NO_AVX512=1 forces, and
# on the machine's kernels again with results of 16 MiB and more bypassing the caches, as they
# do by default only where the cache is small, and Y packed by gathers, as by default on Intel's
# processors only (QUILLBRAX_GATHERS=1); test-portable runs the same suite on the portable
# kernels, which QUILLBRAX_PORTABLE_KERNELS=1 forces at run time.
STREAMED := QUILLBRAX_STREAMED_BYTES=16777216
test: $(VENV)/.built
	$(VENV)/bin/cmake -S . -B build/native -G Ninja -DQUILLBRAX_NATIVE_TESTS=ON $(CMAKE_DEV) >/dev/null
	$(VENV)/bin/cmake --build build/native --target $(NATIVE_TESTS)
	$(VENV)/bin/ctest --test-dir build/native --output-on-failure
	$(VENV)/bin/pytest -q
	QUILLBRAX_NO_AVX512=1 $(VENV)/bin/pytest -q -p no:cacheprovider tests/test_pairmetric.py \
	  tests/test_nearix.py
	$(STREAMED) QUILLBRAX_GATHERS=1 $(VENV)/bin/pytest -q -p no:cacheprovider tests/test_pairmetric.py

test-portable: $(VENV)/.built
	QUILLBRAX_PORTABLE_KERNELS=1 $(VENV)/bin/pytest -q -p no:cacheprovider

# What to run after each change: the suite without the tests marked slow (leaks, injected
# faults, other processes, long property runs). `make test`, which CI runs, runs them all.
test-quick: $(VENV)/.built
	$(VENV)/bin/pytest -q -m "not slow"

demo: $(VENV)/.built
	$(PY) examples/tour.py

build: $(VENV)/.built

$(VENV)/.deps: requirements-dev.txt
	@python=$$(sh tools/find_python.sh) || exit 1; \
	  test -x $(PY) || $$python -m venv $(VENV)
	$(PIP) install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -Ccmake.define.QUILLBRAX_WERROR=ON .
	touch $@

# The same sources and tests under AddressSanitizer and UndefinedBehaviorSanitizer, built in a
# tree of their own and imported ahead of the normal install: the native unit tests, the whole
# suite on the machine's kernels, the pairwise tests on their AVX2 kernels where the machine has
# AVX-512, then the tests of the modules that dispatch on the portable kernels, so that every path
# runs under the sanitizers. Any report aborts the run;
# pytest captures at the sys level only, so that a report written to file descriptor 2 is seen.
# A build tree's modules with the package's Python files, stubs and py.typed, in <tree>/site:
# imported ahead of the normal install through PYTHONPATH.
install_site = $(VENV)/bin/cmake --install $(1) --prefix $(1)/site >/dev/null && \
  cd quillbrax && find . \( -name '*.py' -o -name '*.pyi' -o -name py.typed \) \
  -exec install -D -m 644 {} ../$(1)/site/quillbrax/{} \;

ASAN_DIR     := build/asan
ASAN_ENV     := LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(abspath $(ASAN_DIR)/site)
ASAN_PYTEST  := $(VENV)/bin/pytest -q -p no:cacheprovider --capture=sys
DISPATCHING  := tests/test_pairmetric.py tests/test_convkit.py tests/test_warpalign.py tests/test_nearix.py \
  tests/test_frame_faults.py
test-asan: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DQUILLBRAX_SANITIZE=ON -DQUILLBRAX_NATIVE_TESTS=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_DEV) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	$(call install_site,$(ASAN_DIR))
	ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir $(ASAN_DIR) --output-on-failure
	$(ASAN_ENV) $(ASAN_PYTEST)
	$(ASAN_ENV) QUILLBRAX_NO_AVX512=1 $(ASAN_PYTEST) tests/test_pairmetric.py tests/test_nearix.py
	$(ASAN_ENV) $(STREAMED) QUILLBRAX_GATHERS=1 $(ASAN_PYTEST) tests/test_pairmetric.py
	$(ASAN_ENV) QUILLBRAX_PORTABLE_KERNELS=1 $(ASAN_PYTEST) $(DISPATCHING)

# The build with clang 19 (Debian's, installed here when missing), warnings as errors: the native
# unit tests, and the quick tests of the modules whose kernels have compiler-specific code.
CLANGXX   ?= clang++-19
CLANG_DIR := build/clang
test-clang: $(VENV)/.deps
	@command -v $(CLANGXX) >/dev/null || { apt-get update -qq && apt-get install -y -qq clang-19; }
	$(VENV)/bin/cmake -S . -B $(CLANG_DIR) -G Ninja -DCMAKE_CXX_COMPILER=$(CLANGXX) \
	  -DQUILLBRAX_NATIVE_TESTS=ON $(CMAKE_DEV) >/dev/null
	$(VENV)/bin/cmake --build $(CLANG_DIR)
	$(call install_site,$(CLANG_DIR))
	$(VENV)/bin/ctest --test-dir $(CLANG_DIR) --output-on-failure
	PYTHONPATH=$(abspath $(CLANG_DIR)/site) $(VENV)/bin/pytest -q -p no:cacheprovider -m "not slow" \
	  $(DISPATCHING) tests/test_splitscan.py

# House style: .clang-format for C++ and ruff (pyproject.toml) for Python, with the versions
# pinned in requirements-lint.txt so that every machine formats alike. Checks only; `make format`
# rewrites.
CXX_SOURCES = $(shell find quillbrax tests/native -name '*.cpp' -o -name '*.hpp')
$(VENV)/.lint-deps: requirements-lint.txt $(VENV)/.deps
	$(PIP) install --quiet --disable-pip-version-check -r requirements-lint.txt
	touch $@

lint: $(VENV)/.lint-deps
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

format: $(VENV)/.lint-deps
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .

# Release artefacts, and the checks that run on an installed package rather than on the source
# tree: each in a virtual environment of its own under build/, each run from a directory outside
# the checkout so that nothing but the installed package can be imported.
DIST         := build/dist
WHEEL_VENV   := build/venv-wheel
OLDEST_VENV  := build/venv-numpy-oldest
PY313_VENV   := build/venv-py313
VENV_PIP      = bin/python -m pip install --quiet --disable-pip-version-check

# sdist, then the wheel built from that sdist (so the sdist is known to be complete), built to
# need nothing newer than glibc 2.28 (QUILLBRAX_MANYLINUX, see CMakeLists.txt) and retagged by
# auditwheel, which refuses a tag whose symbol versions the modules exceed. `auditwheel show`
# must then find exactly that tag: the wheel is the one that test-wheel, test-numpy-oldest and
# test-py313 install.
MANYLINUX := manylinux_2_28_x86_64
SOURCES   += tools/manylinux_compat.cpp
dist: $(DIST)/.built
$(DIST)/.built: $(VENV)/.deps $(SOURCES) LICENSE README.md
	rm -rf $(DIST)
	$(PY) -m build --no-isolation --outdir $(DIST) -Ccmake.define.QUILLBRAX_MANYLINUX=ON .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(MANYLINUX) --only-plat -w $(DIST) $(DIST)/quillbrax-*-linux_x86_64.whl
	rm $(DIST)/quillbrax-*-linux_x86_64.whl
	$(VENV)/bin/auditwheel show $(DIST)/quillbrax-*.whl | tee $(DIST)/auditwheel-show.txt
	$(PY) tools/check_manylinux.py $(DIST)/auditwheel-show.txt 28
	touch $@

test-wheel: $(DIST)/.built
	rm -rf $(WHEEL_VENV)
	$$(sh tools/find_python.sh) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/$(VENV_PIP) $(DIST)/quillbrax-*.whl
	cd "$$(mktemp -d)" && $(abspath $(WHEEL_VENV))/bin/python $(abspath tools/smoke_wheel.py)

# The whole suite against the oldest NumPy with wheels for CPython 3.12, on the wheel built
# against NumPy 2's headers. The environment is kept while its requirements stay the same.
# Like test-py313, it checks compatibility rather than searching: hypothesis's shorter profile.
$(OLDEST_VENV)/.deps: requirements-numpy-oldest.txt
	rm -rf $(OLDEST_VENV)
	$$(sh tools/find_python.sh) -m venv $(OLDEST_VENV)
	$(OLDEST_VENV)/$(VENV_PIP) -r requirements-numpy-oldest.txt
	touch $@

test-numpy-oldest: $(DIST)/.built $(OLDEST_VENV)/.deps
	$(OLDEST_VENV)/$(VENV_PIP) --force-reinstall --no-deps $(DIST)/quillbrax-*.whl
	$(OLDEST_VENV)/bin/python -c 'import numpy; assert numpy.__version__.startswith("1.26."), numpy.__version__'
	CI= $(OLDEST_VENV)/bin/pytest -q -p no:cacheprovider

# CPython 3.13 where pyenv has it: pip builds the sdist in an isolated environment (which also
# checks the build requirements of pyproject.toml), then the whole suite runs on NumPy 2, with
# the cp312 wheel's modules at hand to check the version warning of a build for 3.12.
PYTHON313 ?= $(shell v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$$' | sort -t. -k3,3n | tail -n 1); \
               test -n "$$v" && echo "$$(pyenv root)/versions/$$v/bin/python3.13")
test-py313: $(DIST)/.built
	@if [ -z "$(PYTHON313)" ]; then echo "test-py313: no CPython 3.13 in pyenv; skipped"; exit 0; fi; \
	  set -e; rm -rf $(PY313_VENV); \
	  $(PYTHON313) -m venv $(PY313_VENV); \
	  $(PY313_VENV)/$(VENV_PIP) pytest hypothesis "dask[distributed]" $(DIST)/quillbrax-*.tar.gz; \
	  $(PY313_VENV)/bin/python -m zipfile -e $(DIST)/quillbrax-*-cp312-*.whl $(PY313_VENV)/cp312; \
	  QUILLBRAX_FOREIGN_BUILD=$(abspath $(PY313_VENV))/cp312/quillbrax/accel \
	    CI= $(PY313_VENV)/bin/pytest -q -p no:cacheprovider

# The stubs as a user sees them: mypy on examples/ and on typed uses of every module, resolving
# quillbrax through the installed package (its py.typed marker), not through the checkout.
typecheck: $(VENV)/.built
	cd "$$(mktemp -d)" && $(abspath $(VENV))/bin/mypy --config-file $(abspath pyproject.toml) \
	  $(abspath examples) $(abspath tests/typing)

# The stubs against the modules they describe: every name, signature and class of the installed
# modules, from outside the checkout so that the installed package is the one inspected.
STUBTEST_MODULES := $(addprefix quillbrax.accel.,_pairmetric _splitscan _convkit _nearix _warpalign)
stubtest: $(VENV)/.built
	cd "$$(mktemp -d)" && $(abspath $(PY)) -m mypy.stubtest $(STUBTEST_MODULES)

clean:
	rm -rf build $(VENV)

# Benchmarks against the peer libraries, on the release build, one thread on both sides. Their
# requirements (bench/requirements.txt) are installed here only; `make test` does not need them.
.PHONY: bench bench-quick
$(VENV)/.bench-deps: bench/requirements.txt $(VENV)/.deps
	$(PIP) install --quiet --disable-pip-version-check -r bench/requirements.txt
	touch $@

bench: $(VENV)/.built $(VENV)/.bench-deps
	$(PY) bench/run_bench.py --out bench/results --readme README.md

bench-quick: $(VENV)/.built $(VENV)/.bench-deps
	$(PY) bench/run_bench.py --quick --out build/bench-quick
