# Thin wrapper over CMake. `make demo` tours a virtual motor bus; `make test`
# builds everything and runs every test; `make bench` times a full-size flash.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz

.PHONY: build test bench demo fuzz clean

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest -j 8 --output-on-failure

bench: build
	cmake --build $(BUILD) --target bench

demo: build
	sim/demo.sh $(BUILD)

# Each fuzz target runs for FUZZ_SECONDS; new inputs collect in $(FUZZ_BUILD)/corpus.
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DMOTORBUS_FUZZ=ON -DMOTORBUS_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_reply fuzz_exchange
	for t in fuzz_reply fuzz_exchange; do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
	    $(FUZZ_BUILD)/bin/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        $(FUZZ_BUILD)/corpus/$$t || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
