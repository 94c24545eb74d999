# The two commands of the README: `make demo` and `make test`. Each does all
# set-up itself.
PY := .venv/bin/python
BUILD := build
CMAKE := .venv/bin/cmake

.PHONY: setup build demo test test-cpp test-python test-docs bench clean
.PHONY: lint lint-cpp lint-python typecheck format tidy sdist wheel test-wheel
.PHONY: build-sanitize test-sanitize test-valgrind test-long docs test-docs-site

setup:
	@bash scripts/setup.sh

# The build variants are the presets of CMakePresets.json.
build: setup
	@$(CMAKE) --preset release >/dev/null
	@$(CMAKE) --build --preset release

demo: build
	@PYTHONPATH=$(BUILD) $(PY) examples/demo.py
	@PYTHONPATH=$(BUILD) $(PY) examples/space_time.py
	@PYTHONPATH=$(BUILD) $(PY) examples/work_precision.py
	@PYTHONPATH=$(BUILD) $(PY) examples/heat_fem.py

test-cpp: build
	@cd $(BUILD) && ../$(CMAKE) -E env ../.venv/bin/ctest --output-on-failure

test-python: build
	@PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/python

# The README and the docs/ pages: their examples run as doctests.
test-docs: build
	@PYTHONPATH=$(BUILD) $(PY) -m pytest -q --doctest-glob='*.md' README.md docs

test: lint test-cpp test-python test-docs test-docs-site test-sanitize

# The documentation site in build/docs/html (Sphinx, set up in docs/site): the
# pages of README.md, CHANGELOG.md and docs/, laid out in build/docs/source at
# each build; the API page, written there from quorvel.__all__ and the stub; and
# the gallery, which runs every example of examples/. Warnings are errors. Built
# afresh each time (10 to 30 s), so that the gallery shows what the examples
# print with the module as it is now.
DOCS := $(BUILD)/docs
docs: build
	@rm -rf $(DOCS) && mkdir -p $(DOCS)/source
	@PYTHONPATH=$(abspath $(BUILD)) MPLBACKEND=Agg $(PY) -m sphinx -W --keep-going -q -b html \
	  -c docs/site -d $(DOCS)/doctrees $(DOCS)/source $(DOCS)/html
	@echo "docs: $(DOCS)/html/index.html"

# The built site in headless Chromium: its pages load with every image and link,
# and the API page has an entry for every public name (5 to 10 s after make docs).
test-docs-site: docs
	@PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/docs_site

# Both suites against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (about 2 minutes from scratch on 2 cores, 40 s once built). The interpreter is
# not instrumented: the sanitizer runtime (and libstdc++, so that C++ exceptions
# are intercepted) is preloaded, CPython allocates through malloc so that Python
# objects are checked too, and leak detection covers the C++ tests only, since
# CPython keeps much of its own memory until exit. A refused allocation aborts
# under the sanitizer, so the tests that need one are skipped there.
# QUORVEL_LONG=1 make test-sanitize runs the long checks under it as well.
ASAN_BUILD := build-asan
ASAN_CXX = $(shell sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(ASAN_BUILD)/CMakeCache.txt)
SANITIZER_RUNTIME = $(foreach lib,libasan.so libstdc++.so,$(shell $(ASAN_CXX) -print-file-name=$(lib)))
UBSAN_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

build-sanitize: setup
	@$(CMAKE) --preset sanitize >/dev/null
	@$(CMAKE) --build --preset sanitize

test-sanitize: build-sanitize
	@ASAN_OPTIONS=detect_leaks=1 $(UBSAN_ENV) $(ASAN_BUILD)/quorvel_cpp_tests --gtest_brief=1
	@PYTHONPATH=$(ASAN_BUILD) PYTHONMALLOC=malloc LD_PRELOAD="$(SANITIZER_RUNTIME)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 $(UBSAN_ENV) $(PY) -m pytest -q tests/python

# Memcheck over the C++ tests, forked children included (about a minute), on the
# baseline kernels: valgrind does not decode every AVX2 encoding.
# tests/cpp/valgrind.supp explains the one suppression.
VALGRIND_BUILD := build-valgrind
test-valgrind: setup
	@command -v valgrind >/dev/null || { echo "setup: installing valgrind with apt-get"; \
	  $$( [ "$$(id -u)" -eq 0 ] || echo sudo ) apt-get install -y -qq valgrind >/dev/null; }
	@$(CMAKE) --preset valgrind >/dev/null
	@$(CMAKE) --build --preset valgrind
	@QUORVEL_MAX_INSTRUCTION_SET=baseline valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
	  --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
	  --trace-children=yes --quiet --suppressions=tests/cpp/valgrind.supp \
	  $(VALGRIND_BUILD)/quorvel_cpp_tests --gtest_brief=1

# The long checks: minutes of thread stress, 10^5 calls of every callable on each
# path, thousands of property examples, hundreds of forks, 10^6 fuzzed calls
# (scripts/fuzz.py; make test runs 20,000); then the sanitizer and valgrind runs.
# Results are recorded in RELIABILITY.md.
test-long: test-cpp
	@QUORVEL_LONG=1 PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/python
	@$(MAKE) --no-print-directory test-sanitize test-valgrind

bench: build
	@PYTHONPATH=$(BUILD) $(PY) benchmarks/run_all.py

# Formatting and static checks of the C++ and Python sources (a few seconds).
CPP_SOURCES = $(shell find src tests/cpp benchmarks scripts -name '*.cpp' -o -name '*.hpp')
LINT := build-lint

lint: lint-cpp lint-python typecheck

lint-cpp: setup
	@unformatted=$$(for f in $(CPP_SOURCES); do \
	  .venv/bin/clang-format --dry-run --Werror "$$f" >/dev/null 2>&1 || echo "$$f"; done); \
	if [ -n "$$unformatted" ]; then \
	  echo "lint: not clang-formatted (make format fixes it):" $$unformatted; exit 1; fi

lint-python: setup
	@.venv/bin/ruff check --quiet .
	@.venv/bin/ruff format --check --quiet .

# The stub against the built module, and mypy --strict on the examples, the
# documentation's examples and the stub's own test.
typecheck: build
	@PYTHONPATH=$(BUILD) MYPYPATH=stubs $(PY) -m mypy.stubtest quorvel
	@$(PY) scripts/doc_examples.py $(LINT)/doc_examples README.md docs/*.md
	@MYPYPATH=stubs .venv/bin/mypy --strict --cache-dir $(LINT)/mypy_cache \
	  examples $(LINT)/doc_examples tests/python/test_stub.py

format: setup
	@.venv/bin/clang-format -i $(CPP_SOURCES)
	@.venv/bin/ruff check --quiet --fix --select I .
	@.venv/bin/ruff format --quiet .

# clang-tidy over every C++ source (a few minutes; not part of lint).
tidy: setup
	@$(CMAKE) --preset lint >/dev/null
	@find src tests/cpp benchmarks -name '*.cpp' | xargs -P 2 -n 1 .venv/bin/clang-tidy -p $(LINT) --quiet

# The sdist: the sources and, in third_party/eigen3, the Eigen headers they are
# built with here, so that it builds with no Eigen installed.
sdist: setup
	@bash scripts/bundle_eigen.sh >/dev/null
	@rm -rf build-wheel && mkdir -p build-wheel/dist
	@$(PY) -m build --sdist --outdir build-wheel/dist . >build-wheel/sdist.log 2>&1 || { cat build-wheel/sdist.log; exit 1; }

# The portable wheel, built from the sdist and its Eigen copy: Zig's clang with
# libc++ linked in, against the glibc 2.17 symbol set, for baseline x86-64
# (scripts/zig-c++); then tagged by auditwheel, which checks the policy. The
# first build on a machine also builds Zig's libc++ (about a minute, cached).
WHEEL_POLICY := manylinux_2_17_x86_64
wheel: sdist
	@PATH="$(abspath .venv/bin):$$PATH" CXX="$(abspath scripts/zig-c++)" CMAKE_BUILD_PARALLEL_LEVEL=2 $(PY) -m pip wheel -v --no-deps \
	  --no-build-isolation -C build-dir="$(abspath build-wheel/cmake)" \
	  -C cmake.args=--preset=wheel -w build-wheel/linux build-wheel/dist/quorvel-*.tar.gz \
	  >build-wheel/wheel.log 2>&1 || { cat build-wheel/wheel.log; exit 1; }
	@PATH="$(abspath .venv/bin):$$PATH" .venv/bin/auditwheel repair --plat $(WHEEL_POLICY) \
	  -w build-wheel/dist build-wheel/linux/quorvel-*.whl >>build-wheel/wheel.log 2>&1 || { cat build-wheel/wheel.log; exit 1; }
	@ls build-wheel/dist

# The wheel in a fresh virtual environment: its policy, its compiler's features,
# its bits against the normal build, the test suite; then the sdist built with
# no Eigen in sight and tested the same way (about four minutes).
test-wheel: wheel build
	@WHEEL_POLICY=$(WHEEL_POLICY) bash scripts/check_wheel.sh
	@bash scripts/check_sdist.sh

clean:
	rm -rf $(BUILD) $(LINT) build-wheel third_party $(ASAN_BUILD) $(VALGRIND_BUILD)
