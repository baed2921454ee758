# Everything a fresh machine needs: `make test` and `make demo` create .venv, install the
# build and test requirements, build the extension modules and run. Rebuilds are incremental
# (scikit-build-core keeps its build tree under build/).
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
SOURCES := $(shell find quillbrax -name '*.cpp' -o -name '*.hpp' -o -name '*.py') CMakeLists.txt pyproject.toml

.PHONY: test demo build clean

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

clean:
	rm -rf build $(VENV)
