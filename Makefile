# Short aliases over the CMake presets (CMakePresets.json).
#   make demo     tours a virtual motor bus with all four tools (no GoogleTest needed)
#   make test     builds everything and runs the test suite
#   make check    the test suite, the same suite built with ASan+UBSan, a short fuzz
#                 run, the VM suite and the arm64 leg; ends with a line per stage
#                 and "N passed, M failed"
#   make bench    times a full-size flash into a simulated motor, then behind a
#                 simulated FTDI adapter with the low-latency flag honoured and
#                 ignored, and behind one that echoes; then motorbus upgrading 12
#                 motors on 4 buses against the documented procedure and against
#                 one bus (about five minutes)
#   make fuzz     runs each fuzz target for FUZZ_SECONDS
#   make vmcheck  the programs on real tty drivers in QEMU virtual machines: a PC (8250,
#                 ftdi_sio) and an arm64 board (PL011), which runs the arm64 build
#   make ports    builds for arm64 and armhf and runs the suite under qemu-user
#                 (ports-arm64, ports-armhf: one of them; armhf needs .ci/deps --armhf)
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CHECK_FUZZ_SECONDS ?= 10
# Where `make check` keeps each stage's output for its summary.
LOGS ?= build-logs
# The stages of `make check`, in order; each is a target below that runs ctest.
CHECK_STAGES ?= test sanitize fuzz vmcheck ports-arm64
# What each stage does, as `make check` announces it.
about_test = the suite: the programs on the simulated bus, the docs, the install and package
about_sanitize = the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
about_fuzz = each fuzz target for $(CHECK_FUZZ_SECONDS) s
about_vmcheck = the VM suite: the programs on the kernel's 8250, ftdi_sio and PL011 drivers in QEMU
about_ports-arm64 = an arm64 build, its suite run under qemu-user
about_ports-armhf = an armhf build, its suite run under qemu-user
MAKEFLAGS += --no-print-directory
export FUZZ_SECONDS

.PHONY: build demo-build test sanitize check bench demo fuzz vmcheck clean ports ports-arm64 ports-armhf

# The programs, motorsim and the man pages only: what the demo needs.
demo-build:
	cmake --preset default --log-level=NOTICE
	cmake --build --preset default -j $(JOBS) --target programs

build:
	cmake --preset default --log-level=NOTICE
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default

sanitize:
	cmake --preset sanitize --log-level=NOTICE
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize

# Every stage runs even when one before it failed; .ci/summary then prints a
# line per stage and the total, and fails when any stage did. Each stage's
# ctest log is kept beside its output: a later stage in the same build
# directory (vmcheck after test) replaces the one there.
check:
	@mkdir -p $(LOGS)
	@k=0; for s in $(CHECK_STAGES); do \
	    k=$$((k + 1)); \
	    echo "==> stage $$k of $(words $(CHECK_STAGES)): make $$s: $$($(MAKE) -s about-$$s)"; \
	    { $(MAKE) $$s FUZZ_SECONDS=$(CHECK_FUZZ_SECONDS) 2>&1; echo "make $$s: exit $$?"; } \
	        | tee $(LOGS)/$$s.log; \
	    dir=$$(sed -nE 's/^Test project (.*)$$/\1/p' $(LOGS)/$$s.log | tail -n1); \
	    cp "$$dir/Testing/Temporary/LastTest.log" $(LOGS)/$$s.LastTest.log 2>/dev/null || true; \
	done
	@.ci/summary $(foreach s,$(CHECK_STAGES),$(LOGS)/$(s).log)

about-%:
	@echo "$(about_$*)"

bench: build
	cmake --build --preset default --target bench

# Boots Debian's kernel in QEMU once per guest and runs every VM check in it;
# skipped (with the reason) where QEMU, busybox or the kernel cannot be had,
# except in CI. The arm64 guest runs the arm64 cross build's programs: the
# ones it needs are built here, in build-arm64, which ports-arm64 then goes on
# with (without the cross compiler that guest is skipped, and fails in CI).
VM_ARM64_PROGRAMS = fwburn ldrmode runmode holdoff motorbus vmprobe
vmcheck: build
	@if command -v aarch64-linux-gnu-g++ >/dev/null; then \
	    cmake --preset ports-arm64 --log-level=NOTICE && \
	    cmake --build --preset ports-arm64 -j $(JOBS) --target $(VM_ARM64_PROGRAMS); \
	else \
	    echo "vmcheck: no aarch64-linux-gnu-g++ (.ci/deps --test): the arm64 guest has no programs"; \
	fi
	ctest --preset vm

demo: demo-build
	motorsim/demo.sh build

# New inputs collect in build-fuzz/corpus.
fuzz:
	cmake --preset fuzz --log-level=NOTICE
	cmake --build --preset fuzz -j $(JOBS)
	ctest --preset fuzz

# Cross builds with Debian's cross compilers; the tests, and the programs they
# start, run under qemu-user (the VM suite, label vm, excluded).
PORTS_JOBS ?= 4
ports: ports-arm64 ports-armhf

ports-arm64 ports-armhf: ports-%:
	cmake --preset ports-$* --log-level=NOTICE
	cmake --build --preset ports-$* -j $(JOBS)
	ctest --preset ports-$* -j $(PORTS_JOBS)

clean:
	rm -rf build build-asan build-fuzz build-arm64 build-armhf $(LOGS)
