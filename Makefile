# Thin wrapper around CMake; see README.md.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps build test test-plain test-asan deb install demo clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite on the plain build, then the unit tests again with
# AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps test-plain test-asan

test-plain: build
	cd $(BUILD) && ctest --output-on-failure

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVORNEX_SANITIZE=ON \
	  -DVORNEX_INTEGRATION=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure

# Apache on 127.0.0.1:8080 screening a small site against two stand-in check
# servers; Ctrl-C stops everything.
demo: build
	./scripts/demo.sh $(BUILD)

# A Debian package: the module, mods-available/vornex.load and vornex.conf.
deb: build
	./scripts/make-deb.sh $(BUILD) $(BUILD)/deb

# Installs the module into the directory apxs reports (non-Debian layouts).
install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
