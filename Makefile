# Front door to the CMake builds: firmware images (cross) and the simulator
# with its tests (host).
.PHONY: all images sim test sanitize lint bench fuzz run web install clean compile-db coverage

JOBS ?= $(shell nproc)
IMAGE ?= build/images/consolefw-64

all: images sim

images:
	cmake --preset firmware >/dev/null
	cmake --build --preset firmware -j $(JOBS)
	@$(MAKE) --no-print-directory compile-db

sim:
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)
	@$(MAKE) --no-print-directory compile-db

test: images sim
	ctest --preset host

# The simulator and every test under AddressSanitizer and
# UndefinedBehaviorSanitizer (build/sanitize); keltosim run by the tests is
# the sanitized one too.
sanitize: images
	cmake --preset host-sanitize >/dev/null
	cmake --build --preset host-sanitize -j $(JOBS)
	ctest --preset host-sanitize

# clang-tidy and cppcheck on the firmware and the simulator.
lint: images sim
	scripts/lint

bench: images sim
	build/host/bench/keltosim-bench
	scripts/bench-table build

# Each fuzz target for FUZZ_SECONDS, from its seeds in fuzz/corpus/; what it
# learns stays in build/fuzz/corpus/, and a failing input in build/fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = elf scenario console state
# A console input is a few dozen keys and waits: at a few inputs a second,
# libFuzzer's slow growth from the seeds' length would keep it at a handful.
FUZZ_OPTIONS_console = -max_len=64 -len_control=0
fuzz: images
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	@set -e; $(foreach target,$(FUZZ_TARGETS), \
	    mkdir -p build/fuzz/corpus/$(target); \
	    build/fuzz/fuzz/fuzz_$(target) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz/$(target)- \
	        $(FUZZ_OPTIONS_$(target)) build/fuzz/corpus/$(target) fuzz/corpus/$(target);)

run: images sim
	build/host/sim/keltosim $(IMAGE)

# Which lines, functions and branches of the firmware the scenarios and the
# tests that run images execute: one lcov tracefile, merged from every run,
# and genhtml's report of it in build/coverage/index.html.
COVERAGE_DIR = build/coverage
coverage: images sim
	rm -rf $(COVERAGE_DIR) && mkdir -p $(COVERAGE_DIR)
	@set -e; for scenario in scenarios/*.yaml; do for board in 64 24; do \
	    build/host/sim/keltosim --coverage $(COVERAGE_DIR)/coverage.info --scenario $$scenario \
	        build/images/consolefw-$$board >/dev/null; done; done
	KELTO_COVERAGE=$(CURDIR)/$(COVERAGE_DIR)/coverage.info ctest --preset host -j $(JOBS) -LE 'soak|web_test|reproducible|coverage' >/dev/null
	genhtml -q --branch-coverage --demangle-cpp --prefix $(CURDIR) -o $(COVERAGE_DIR) $(COVERAGE_DIR)/coverage.info
	@lcov --rc lcov_branch_coverage=1 --summary $(COVERAGE_DIR)/coverage.info

# The board in a web browser, at the address keltosim prints.
web: images sim
	build/host/sim/keltosim --web $(IMAGE)

# keltosim, its manual page and the chips' SVD files under PREFIX (bin/,
# share/man/man1/, share/keltosim/svd/ and web/).
PREFIX ?= /usr/local
install: images sim
	cmake --install build/host --prefix $(PREFIX)

# One compilation database for editors, from both builds, where clangd finds
# it (build/compile_commands.json).
compile-db:
	@if [ -f build/firmware/compile_commands.json ] && [ -f build/host/compile_commands.json ]; then \
	    { sed '$$d' build/firmware/compile_commands.json | sed '$$s/}$$/},/'; \
	      sed '1d' build/host/compile_commands.json; } > build/compile_commands.json; \
	fi

clean:
	rm -rf build
