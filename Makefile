# Entry points for a fresh Debian 12 machine. Each target installs what it needs.
JOBS ?= $(shell nproc)
SOURCES = $(shell git ls-files '*.h' '*.cpp')

.PHONY: setup test test-windows build format format-check fuzz-smoke demo release bench clean

setup:
	scripts/setup-debian.sh

build: setup
	cmake --preset dev
	cmake --build --preset dev -j $(JOBS)

# Sets up, builds with the sanitizers and runs every test.
test: build
	ctest --preset dev -j $(JOBS)

# Cross-builds the Windows flavour (MinGW-w64) and runs its tests under Wine; installs
# the cross compiler and Wine on first use.
test-windows:
	JOBS=$(JOBS) scripts/test-windows.sh

release: setup
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

# The whole job against the simulated ESC, in real time: info, a firmware update and a
# setup change. Builds only quorvel-cli, so that a newcomer waits for it alone.
demo: setup
	cmake --preset release
	cmake --build --preset release --target quorvel-cli -j $(JOBS)
	scripts/demo.sh build/release/cli/quorvel-cli

# Prints the figures: the protocol's inherent times on the bench, the serial transport
# over a pty (latency, idle CPU, real-time update against the bench), and quorvel-cli's
# start-up time and peak memory. Figures only; nothing here passes or fails.
bench: setup
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS) --target quorvel-link-bench serial_bench cli_bench
	build/bench/tools/link-bench/quorvel-link-bench
	build/bench/serial/serial_bench
	build/bench/cli/cli_bench

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

# A short, fixed-time run of every fuzz target: a smoke test, not a campaign.
fuzz-smoke: setup
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz-smoke.sh build/fuzz

clean:
	rm -rf build
