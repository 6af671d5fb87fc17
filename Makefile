# Two commands for a fresh Debian machine: `make run` and `make test`.
# QT=6 builds against Qt 6 instead, in a folder of its own: `make test QT=6`, `make run QT=6`.
QT ?= 5
ifeq ($(QT),6)
BUILD_DIR ?= build-qt6
else
BUILD_DIR ?= build
endif
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
export YIHUAN_QT_MAJOR := $(QT)
override CMAKE_FLAGS += -DYIHUAN_QT_MAJOR=$(QT)

.PHONY: all deps configure build run test sanitize bench fuzz screenshot screenshots format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/src/yihuan

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The engine's and the command line's tests under AddressSanitizer and UBSan, in a build
# of their own; the window's tests are left out.
sanitize: deps
	@cmake -S . -B $(BUILD_DIR)-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYIHUAN_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR)-sanitize -j $(JOBS) --target engine_and_cli_tests
	cd $(BUILD_DIR)-sanitize && QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		ctest -L '^(engine|cli)$$' --output-on-failure -j $(JOBS)

bench:
	@YIHUAN_EXTRA_PACKAGES="libbenchmark-dev libicu-dev hyperfine jq" scripts/install-deps
	@cmake -S . -B $(BUILD_DIR)-bench -DCMAKE_BUILD_TYPE=Release -DYIHUAN_BUILD_TESTS=OFF -DYIHUAN_BUILD_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR)-bench -j $(JOBS)
	@echo "Benchmarks built in $(BUILD_DIR)-bench/bench"

fuzz: deps
	@scripts/run-fuzz

screenshot: build
	@scripts/screenshot docs/screenshot.png

screenshots: build
	@YIHUAN_EXTRA_PACKAGES="xvfb xauth" scripts/install-deps
	@xvfb-run -a -s "-screen 0 1280x800x24" $(BUILD_DIR)/tests/yihuan-screenshots docs/help docs

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-bench $(BUILD_DIR)-fuzz $(BUILD_DIR)-sanitize
