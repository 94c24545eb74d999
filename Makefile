# The two commands of the README: `make demo` and `make test`. Each does all
# set-up itself.
PY := .venv/bin/python
BUILD := build
CMAKE := .venv/bin/cmake

.PHONY: setup build demo test test-cpp test-python bench clean

setup:
	@bash scripts/setup.sh

build: setup
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath .venv/bin/ninja) >/dev/null
	@$(CMAKE) --build $(BUILD) -j 2

demo: build
	@PYTHONPATH=$(BUILD) $(PY) examples/demo.py

test-cpp: build
	@cd $(BUILD) && ../$(CMAKE) -E env ../.venv/bin/ctest --output-on-failure

test-python: build
	@PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/python

test: test-cpp test-python

bench: build
	@PYTHONPATH=$(BUILD) $(PY) benchmarks/run_all.py

clean:
	rm -rf $(BUILD)
