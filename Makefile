# Front door to the CMake builds: firmware images (cross) and the simulator
# with its tests (host).
.PHONY: all images sim test bench run clean

JOBS ?= $(shell nproc)
IMAGE ?= build/images/consolefw-64

all: images sim

images:
	cmake --preset firmware >/dev/null
	cmake --build --preset firmware -j $(JOBS)

sim:
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

test: images sim
	ctest --preset host

bench: images sim
	build/host/bench/keltosim-bench

run: images sim
	build/host/sim/keltosim $(IMAGE)

clean:
	rm -rf build
