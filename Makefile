# Thin front for the CMake build, for every CPython it builds for: PYTHON=/path/to/python3.X
# names one (on make's command line or in the environment), else every CPython 3.8 or later
# that tools/find-python.sh finds: pyenv's, and the Debian root's (make sid-root) when it is
# made, whose interpreters are built for and run inside it. Each version builds in build/<version>/ (3.8, 3.12, ...),
# and its extension lands in corvessa/util/ under that version's suffix, so that the
# repository root is importable by every interpreter built for.
BUILD   ?= build
JOBS    ?= 2
CMAKE_FLAGS ?=
MAKEFLAGS   += --no-print-directory
PYTHONS := $(shell PYTHON='$(PYTHON)' sh tools/find-python.sh 2>/dev/null)
# Stops with find-python.sh's one line when no interpreter qualifies.
NEED_PYTHON = @test -n "$(PYTHONS)" || { PYTHON='$(PYTHON)' sh tools/find-python.sh >/dev/null; exit 1; }
EACH    = bash tools/each-python.sh
EACH_NATIVE_CALLGRIND = TARN_NATIVE_ONLY="callgrind does not run under user-mode emulation" $(EACH)
# What the machine lacks for the step, installed first (tools/setup.sh); the packaging tools
# it installs from PyPI are found on PATH.
SETUP   = @BUILD='$(BUILD)' bash tools/setup.sh
export PATH := $(abspath $(BUILD))/tools/bin:$(PATH)

.PHONY: all build test dist demo bench bench-instructions bench-abi3 clean check-asan check-valgrind check-debug-malloc check-generic check-abi3 soak coverage sid-root sid-roots test-cpus

all: build

build:
	$(NEED_PYTHON)
	$(SETUP) build $(PYTHONS)
	@CMAKE_FLAGS='$(CMAKE_FLAGS)' bash tools/build.sh $(BUILD) $(JOBS) $(PYTHONS)

# The whole suite on every version built, as one CTest run; ends with a line per version
# and CTest's total. TESTS_EXCLUDE (a regular expression of test names) leaves some out.
test: build
	$(SETUP) test $(PYTHONS)
	@TESTS_EXCLUDE='$(TESTS_EXCLUDE)' bash tools/run-tests.sh $(BUILD) $(JOBS) $(PYTHONS)

# The release in dist/ (README, "Packaging"): the stripped wheel of each version and the
# stable ABI's, for this machine's CPU and (without PYTHON) every CPU whose root is made
# (make sid-roots), repaired by auditwheel to the manylinux tag it earns, and the sdist.
dist:
	$(NEED_PYTHON)
	@cpus="$(if $(PYTHON),,$$(sh tools/find-python.sh --cpus))"; BUILD='$(BUILD)' bash tools/setup.sh test $(PYTHONS) $$cpus && \
	  bash tools/dist.sh dist $(PYTHONS) $$cpus

demo: build
	@$(EACH) 'PYTHONPATH=$(CURDIR) "$$PY" examples/demo.py' $(PYTHONS)

# The commit measured, for the results of interpreters run where git is not (the Debian root).
bench bench-instructions bench-abi3: export BENCH_SOURCE = $(shell git rev-parse --short HEAD 2>/dev/null)$(shell git status --porcelain \
  --untracked-files=no -- src 2>/dev/null | grep -q . && echo ' (src/ modified)')

# Side-by-side benchmark (bench/README.md), on each version: wall-clock time, and
# instructions under callgrind.
bench: build
	@TARN_NATIVE_ONLY="times under emulation measure the emulator" $(EACH) '"$$PY" bench/bench_time.py' $(PYTHONS)

bench-instructions: build
	@command -v valgrind >/dev/null 2>&1 || { echo "make bench-instructions needs valgrind (apt-get install valgrind)" >&2; exit 1; }
	@$(EACH_NATIVE_CALLGRIND) '"$$PY" bench/bench_instructions.py' $(PYTHONS)

# The instructions of the one binary of the stable ABI (built as make check-abi3 builds it)
# on each version from 3.12 on, beside that version's own build.
bench-abi3: build
	@command -v valgrind >/dev/null 2>&1 || { echo "make bench-abi3 needs valgrind (apt-get install valgrind)" >&2; exit 1; }
	@sh tools/abi3-binary.sh build-abi3 $(JOBS) $(PYTHONS)
	@$(EACH_NATIVE_CALLGRIND) 'case "$$VERSION" in 3.[89]|3.1[01]) echo "the stable ABI serves 3.12 and later: left out";; \
	  *) BENCH_OURS=$(CURDIR)/build-abi3/pkg "$$PY" bench/bench_instructions.py;; esac' $(PYTHONS)

# Reliability checks (README, "Reliability checks"), on each version; each uses build
# directories of its own.
check-asan:
	$(NEED_PYTHON)
	$(SETUP) test $(PYTHONS)
	@TARN_NATIVE_ONLY="the sanitizers do not run under user-mode emulation" \
	  $(EACH) 'sh tests/reliability/check-asan.sh "$$PY" $(JOBS)' $(PYTHONS)

check-valgrind: build
	@TARN_NATIVE_ONLY="valgrind does not run under user-mode emulation" \
	  $(EACH) 'sh tests/reliability/check-valgrind.sh "$$PY" $(BUILD)/$$VERSION' $(PYTHONS)

check-debug-malloc:
	$(NEED_PYTHON)
	$(SETUP) test $(PYTHONS)
	@$(EACH) 'sh tests/reliability/check-debug-malloc.sh "$$PY" $(JOBS)' $(PYTHONS)

# The whole suite against a build that takes the generic roads (the interpreter's public
# interface only), as a build for a CPython newer than the version layer knows does.
check-generic:
	$(NEED_PYTHON)
	$(SETUP) test $(PYTHONS)
	@$(EACH) 'sh tests/reliability/check-generic.sh "$$PY" $(JOBS)' $(PYTHONS)

# The whole suite of every version from 3.12 on against the one binary of the stable ABI,
# built once with 3.12's headers (tests/reliability/check-abi3.sh).
check-abi3:
	$(NEED_PYTHON)
	$(SETUP) test $(PYTHONS)
	@sh tests/reliability/check-abi3.sh $(JOBS) $(PYTHONS)

# Line and branch coverage of src/ under the whole suite, per file, with what was never run.
coverage:
	$(NEED_PYTHON)
	$(SETUP) test $(PYTHONS)
	@$(EACH) 'sh tests/reliability/coverage.sh "$$PY" $(JOBS)' $(PYTHONS)

SOAK_ITEMS ?= 3000000
soak: build
	@$(EACH) 'TARN_SOAK_ITEMS=$(SOAK_ITEMS) PYTHONPATH=$(CURDIR) PYTHONDONTWRITEBYTECODE=1 TARN_PYTHON="$$PY" \
	  "$$PY" tests/python/test_soak.py -v' $(PYTHONS)

# The Debian unstable root with CPython 3.13, 3.14 and 3.15 (tools/sid-root.sh; SID_ROOT
# names its directory).
sid-root:
	@bash tools/sid-root.sh provision

clean:
	rm -rf $(BUILD) build-* corvessa/util/queue.cpython-*.so

# The roots of the other CPUs Debian serves, beside the amd64 root (tools/sid-root.sh);
# CPUS names some of them.
CPUS ?= $(shell bash tools/sid-root.sh cpus)
sid-roots:
	@bash tools/sid-root.sh provision $(CPUS)

# The whole suite on each of those CPUs, under emulation, for every CPython its root has
# (tools/test-cpus.sh); make test PYTHON=<root>/usr/bin/python3.X runs one.
test-cpus:
	@bash tools/test-cpus.sh $(CPUS)
