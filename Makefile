# Thin wrapper over CMake.
#   make demo     tours a virtual motor bus with all four tools
#   make test     builds everything and runs the test suite
#   make check    the test suite, the same suite built with ASan+UBSan, and a short fuzz run
#   make bench    times a full-size flash into a simulated motor
#   make fuzz     runs each fuzz target for FUZZ_SECONDS
#   make ports    builds for arm64 and armhf and runs the suite under qemu-user
#                 (ports-arm64, ports-armhf: one of them)
BUILD ?= build
SAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The sanitizer build runs fewer hostile-bus runs: its programs start slower.
SAN_FLAGS ?= -DCMAKE_BUILD_TYPE=Debug -DMOTORBUS_SANITIZE=ON -DMOTORBUS_HOSTILE_RUNS=30
FUZZ_SECONDS ?= 60
CHECK_FUZZ_SECONDS ?= 10

.PHONY: build test sanitize check bench demo fuzz clean ports ports-arm64 ports-armhf

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest -j 8 --output-on-failure

sanitize:
	cmake -S . -B $(SAN_BUILD) $(SAN_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ctest -j 8 --output-on-failure

check: test sanitize
	$(MAKE) fuzz FUZZ_SECONDS=$(CHECK_FUZZ_SECONDS)

bench: build
	cmake --build $(BUILD) --target bench

demo: build
	sim/demo.sh $(BUILD)

# New inputs collect in $(FUZZ_BUILD)/corpus.
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DMOTORBUS_FUZZ=ON -DMOTORBUS_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_reply fuzz_exchange
	for t in fuzz_reply fuzz_exchange; do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
	    $(FUZZ_BUILD)/bin/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        $(FUZZ_BUILD)/corpus/$$t || exit 1; \
	done

# Cross builds with Debian's cross compilers; the tests, and the programs they
# start, run under qemu-user (tests of the QEMU bench, label vm, excluded).
PORTS_JOBS ?= 4
ports: ports-arm64 ports-armhf

ports-arm64 ports-armhf: ports-%:
	cmake -S . -B build-$* --toolchain cmake/$(PORT_TRIPLET_$*).cmake $(CMAKE_FLAGS)
	cmake --build build-$* -j $(JOBS)
	cd build-$* && ctest -LE vm -j $(PORTS_JOBS) --output-on-failure

PORT_TRIPLET_arm64 = aarch64-linux-gnu
PORT_TRIPLET_armhf = arm-linux-gnueabihf

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) build-arm64 build-armhf
