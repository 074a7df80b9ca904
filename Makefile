# The two commands a newcomer needs: `make demo` and `make test`. Both install what is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
PACKAGES := g++ cmake make libplib-dev libasound2-dev libgtest-dev python3 iproute2 util-linux valgrind \
    pulseaudio pulseaudio-utils libasound2-plugins python3-numpy python3-matplotlib sox
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZE_DIR ?= build-sanitize
SONG ?= songs/frere_jacques.mid
CLIENTS ?= 4
# The system's interpreter, which sees the Debian packages above (numpy, matplotlib).
PYTHON ?= $(if $(wildcard /usr/bin/python3),/usr/bin/python3,python3)

# Installs those of the packages given that are missing.
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing:" $$missing; \
	    $(SUDO) apt-get update && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi
endef

.PHONY: all deps build test test-sanitize demo bench-listening clean fuzz

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

# The server, CLIENTS clients and the activate sender as hosts of a private virtual room, heard
# through a private sound server: demo/room.wav (listen with sox's `play demo/room.wav`) and demo/room.png.
demo: deps build
	tests/e2e/netns_run.sh $(PYTHON) tools/demo.py --tonecast $(BUILD_DIR)/src/tonecast --song $(SONG) \
	    --clients $(CLIENTS) --record demo

# The room's timing as a listener hears it, beside a perfectly timed reference.
bench-listening: deps build
	tests/e2e/netns_run.sh $(PYTHON) bench/listening.py --tonecast $(BUILD_DIR)/src/tonecast --song $(SONG) \
	    --clients $(CLIENTS)

# Every fuzz target for FUZZ_SECONDS seconds each, seeded by the files the unit tests read.
fuzz: deps build
	$(call install_missing,$(FUZZ_PACKAGES))
	cmake -S . -B $(FUZZ_DIR) -DTONECAST_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	tests/fuzz/run_fuzzers.sh $(FUZZ_DIR) $(BUILD_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR)
