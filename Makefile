# Thin front for the CMake build. Everything is built in build/; the extension lands in
# corvessa/util/ so that the repository root is importable.
BUILD   ?= build
JOBS    ?= 2
PY      := $(shell sh tools/find-python.sh 2>/dev/null)
CMAKE_FLAGS ?=
MAKEFLAGS   += --no-print-directory

.PHONY: all build configure test demo bench bench-instructions clean check-asan check-valgrind check-debug-malloc soak

all: build

configure:
	@test -n "$(PY)" || { sh tools/find-python.sh >/dev/null; exit 1; }
	@cmake -S . -B $(BUILD) -DPYTHON="$(PY)" $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@PYTHONPATH=$(CURDIR) "$(PY)" examples/demo.py

# Side-by-side benchmark (bench/README.md): wall-clock time, then instructions under callgrind.
bench: build
	@"$(PY)" bench/bench_time.py

bench-instructions: build
	@command -v valgrind >/dev/null 2>&1 || { echo "make bench-instructions needs valgrind (apt-get install valgrind)" >&2; exit 1; }
	@"$(PY)" bench/bench_instructions.py

# Reliability checks (README, "Reliability checks"); each uses a build directory of its own.
check-asan:
	@test -n "$(PY)" || { sh tools/find-python.sh >/dev/null; exit 1; }
	@sh tests/reliability/check-asan.sh "$(PY)" $(JOBS)

check-valgrind: build
	@sh tests/reliability/check-valgrind.sh "$(PY)"

check-debug-malloc:
	@test -n "$(PY)" || { sh tools/find-python.sh >/dev/null; exit 1; }
	@sh tests/reliability/check-debug-malloc.sh "$(PY)" $(JOBS)

SOAK_ITEMS ?= 3000000
soak: build
	@TARN_SOAK_ITEMS=$(SOAK_ITEMS) PYTHONPATH=$(CURDIR) PYTHONDONTWRITEBYTECODE=1 TARN_PYTHON="$(PY)" \
	  "$(PY)" tests/python/test_soak.py -v

clean:
	rm -rf $(BUILD) build-* corvessa/util/queue.cpython-*.so
