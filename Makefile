# Thin wrapper around CMake; see README.md.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
# Seconds of fuzzing per target: make test uses a short bound, make fuzz more.
FUZZ_SECONDS ?= 60
ARGS ?=

.PHONY: all deps build check lint test test-plain test-asan test-valgrind \
  test-fuzz valgrind fuzz soak bench instructions brownout deb install demo \
  clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The lint gates; the whole suite on the plain build; the unit and
# integration suites again with the module and the tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer; the body and verdict cases
# under valgrind; the fuzz targets' corpora replayed and each target fuzzed
# for a bounded time.
test: deps lint test-plain test-asan test-valgrind test-fuzz

# The quick loop: build, then the unit and stand-in suites and the documents
# test (well under a minute).
check: build
	cd $(BUILD) && ctest --output-on-failure -L 'unit|check_server|docs' \
	  -j $(JOBS)

# Formatting (.clang-format), shellcheck and flake8 over the tracked files.
lint: deps
	./scripts/lint.sh

test-plain: build
	cd $(BUILD) && ctest --output-on-failure

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVORNEX_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -LE 'package|bench'

test-valgrind: build
	./scripts/valgrind.sh $(BUILD)

test-fuzz: deps
	./scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Longer runs of the same tools.
valgrind: test-valgrind

fuzz: deps
	./scripts/fuzz.sh $(FUZZ_BUILD) 600

# The full-size soak (make test runs a reduced one).
soak: build
	/usr/bin/python3 tests/soak/soak.py --build $(BUILD) --full $(ARGS)

# Throughput, latency and memory against the module not loaded and against
# nginx with auth_request, the added cost per check against nginx's, and the
# counts per request of `make instructions`; ARGS=--quick for a smoke run.
bench: build
	/usr/bin/python3 bench/bench.py --build $(BUILD) $(ARGS)

# Only the counts per request that do not move with the machine's speed:
# system calls (strace) and user-space instructions (callgrind).
instructions: build
	/usr/bin/python3 bench/bench.py --build $(BUILD) --only counts $(ARGS)

# A site with a screened and an unscreened virtual host while the check
# service goes silent, refuses or answers late for 20 s: per-second figures,
# targets and plots, with the module's defaults and the packaged
# configuration. ARGS=--quick for a smoke run; --fault and --config choose.
brownout: build
	/usr/bin/python3 bench/brownout.py --build $(BUILD) $(ARGS)

# Apache on 127.0.0.1:8080 screening a small site against two stand-in check
# servers (ARGS=--tls: over TLS); Ctrl-C stops everything.
demo: build
	/usr/bin/python3 scripts/demo.py $(BUILD) $(ARGS)

# A Debian package: the module, mods-available/vornex.load and vornex.conf.
deb: build
	./scripts/make-deb.sh $(BUILD) $(BUILD)/deb

# Installs the module into the directory apxs reports (non-Debian layouts).
install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
