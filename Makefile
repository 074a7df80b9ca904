# The two commands a newcomer needs: `make demo` and `make test`. Both install what is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
PACKAGES := g++ cmake make libplib-dev libasound2-dev libgtest-dev python3 iproute2 util-linux valgrind
FUZZ_PACKAGES := clang libclang-rt-14-dev
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine64
WINDOWS_DIR ?= build-windows
WINDOWS32_DIR ?= build-windows32
WINDOWS_BUILD_TYPE ?= Release
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZE_DIR ?= build-sanitize
SONG ?= songs/frere_jacques.mid
CLIENTS ?= 4

# Installs those of the packages given that are missing.
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing:" $$missing; \
	    $(SUDO) apt-get update && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi
endef

.PHONY: all deps build test test-sanitize demo clean fuzz windows windows32 test-windows

all: build

deps:
	$(call install_missing,$(PACKAGES))

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Every unit and end-to-end test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Each report also goes to a file, and any file fails the run: a test that never looks at a
# process's status or standard error (or kills it) cannot let a report pass unseen.
SANITIZE_REPORTS = $(abspath $(SANITIZE_DIR))/sanitizer-reports
SANITIZER_OPTIONS = halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$(SANITIZE_REPORTS)/report
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTONECAST_SANITIZE=ON
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	cd $(SANITIZE_DIR) && ASAN_OPTIONS=$(SANITIZER_OPTIONS):detect_leaks=1 \
	    UBSAN_OPTIONS=$(SANITIZER_OPTIONS):print_stacktrace=1 ctest --output-on-failure -j $(JOBS); \
	    status=$$?; \
	    for report in $(SANITIZE_REPORTS)/*; do [ -e "$$report" ] || continue; cat "$$report"; status=1; done; \
	    exit $$status

# The server, CLIENTS clients and the activate sender as hosts of a private virtual room.
demo: deps build
	tests/e2e/netns_run.sh python3 tools/demo.py --tonecast $(BUILD_DIR)/src/tonecast --song $(SONG) --clients $(CLIENTS)

# Every fuzz target for FUZZ_SECONDS seconds each, seeded by the files the unit tests read.
fuzz: deps build
	$(call install_missing,$(FUZZ_PACKAGES))
	cmake -S . -B $(FUZZ_DIR) -DTONECAST_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	tests/fuzz/run_fuzzers.sh $(FUZZ_DIR) $(BUILD_DIR) $(FUZZ_SECONDS)

# tonecast.exe for 64-bit Windows ($(WINDOWS_DIR)/tonecast.exe) and for 32-bit Windows
# ($(WINDOWS32_DIR)/tonecast.exe), cross-built with mingw-w64 and linked statically.
windows:
	$(call install_missing,$(WINDOWS_PACKAGES))
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=$(WINDOWS_BUILD_TYPE)
	cmake --build $(WINDOWS_DIR) -j $(JOBS) --target tonecast

windows32:
	$(call install_missing,$(WINDOWS_PACKAGES))
	cmake -S . -B $(WINDOWS32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=$(WINDOWS_BUILD_TYPE) -DBUILD_TESTING=OFF
	cmake --build $(WINDOWS32_DIR) -j $(JOBS) --target tonecast

# The unit tests built for Windows, and the rooms where Linux and Windows hosts play together, under
# Wine, each test inside a private network of its own.
test-windows: deps build windows
	cmake -S . -B $(WINDOWS_DIR) -DTONECAST_LINUX_PROGRAM=$(abspath $(BUILD_DIR))/src/tonecast
	cmake --build $(WINDOWS_DIR) -j $(JOBS)
	cd $(WINDOWS_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)
