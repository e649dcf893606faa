# Front door to the CMake builds: firmware images (cross) and the simulator
# with its tests (host).
.PHONY: all images sim test sanitize lint bench run clean compile-db

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

run: images sim
	build/host/sim/keltosim $(IMAGE)

# One compilation database for editors, from both builds, where clangd finds
# it (build/compile_commands.json).
compile-db:
	@if [ -f build/firmware/compile_commands.json ] && [ -f build/host/compile_commands.json ]; then \
	    { sed '$$d' build/firmware/compile_commands.json | sed '$$s/}$$/},/'; \
	      sed '1d' build/host/compile_commands.json; } > build/compile_commands.json; \
	fi

clean:
	rm -rf build
