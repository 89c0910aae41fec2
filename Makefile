# Thin wrapper over CMake. `make demo` tours a virtual motor bus; `make test`
# builds everything and runs every test; `make bench` times a full-size flash.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: build test bench demo clean

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest -j 8 --output-on-failure

bench: build
	cmake --build $(BUILD) --target bench

demo: build
	$(BUILD)/bin/motorsim --motor 3:run --motor 5:boot --motor 9:run -- ldrmode @

clean:
	rm -rf $(BUILD)
