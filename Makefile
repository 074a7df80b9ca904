# The two commands a newcomer needs: `make demo` and `make test`. Both install what is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
PACKAGES := g++ cmake make libplib-dev libasound2-dev libgtest-dev python3 iproute2 util-linux valgrind
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
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

.PHONY: all deps build test demo clean fuzz

all: build

deps:
	$(call install_missing,$(PACKAGES))

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The server, CLIENTS clients and the activate sender as hosts of a private virtual room.
demo: deps build
	tests/e2e/netns_run.sh python3 tools/demo.py --tonecast $(BUILD_DIR)/src/tonecast --song $(SONG) --clients $(CLIENTS)

# Every fuzz target for FUZZ_SECONDS seconds each, seeded by the files the unit tests read.
fuzz: deps build
	$(call install_missing,$(FUZZ_PACKAGES))
	cmake -S . -B $(FUZZ_DIR) -DTONECAST_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	tests/fuzz/run_fuzzers.sh $(FUZZ_DIR) $(BUILD_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR)
