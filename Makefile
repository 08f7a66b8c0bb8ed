# The two commands: `make run` and `make test`. Both install any missing
# Debian packages first (through sudo when not root).
BUILD_DIR ?= build/release
TEST_DIR  ?= build/test
WERROR    := $(if $(CI),ON,OFF)
JOBS      ?= $(shell nproc)

PREFIX    ?= /usr/local

.PHONY: run test demo bench fuzz deps build build-test install package clean

deps:
	@./tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREV_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD_DIR) --target brevglimt

run: build
	$(BUILD_DIR)/app/brevglimt $(ARGS)

demo: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREV_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD_DIR) --target brevglimt scripted-pop3-server
	./tools/demo.sh $(BUILD_DIR)

bench: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREV_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD_DIR) --target bench_check bench_realserver bench_imap bench_runtime bench_parsers
	QT_QPA_PLATFORM=offscreen $(BUILD_DIR)/bench/bench_check
	QT_QPA_PLATFORM=offscreen $(BUILD_DIR)/bench/bench_realserver
	QT_QPA_PLATFORM=offscreen $(BUILD_DIR)/bench/bench_imap
	$(BUILD_DIR)/bench/bench_runtime
	$(BUILD_DIR)/bench/bench_parsers

build-test: deps
	@cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBREV_SANITIZE=ON -DBREV_WERROR=$(WERROR) >/dev/null
	@cmake --build $(TEST_DIR)

test: build-test
	cd $(TEST_DIR) && LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp ctest --output-on-failure -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS (a few minutes) in the clang build
# folder build/fuzz; `make test` runs them for 20 s each.
FUZZ_SECONDS ?= 180
fuzz: deps
	./tools/fuzz.sh run $(CURDIR)/build/fuzz $(FUZZ_SECONDS)

# Installs the program, its menu entry, icon and AppStream data under PREFIX.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# A Debian package (build/release/brevglimt_*.deb) from the same rules.
package: build
	cd $(BUILD_DIR) && cpack --config CPackConfig.cmake

clean:
	rm -rf build
