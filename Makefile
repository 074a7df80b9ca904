# The two commands a newcomer needs: `make demo` and `make test`. Both install what is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
PACKAGES := g++ cmake make pkg-config libplib-dev libasound2-dev libboost-dev nlohmann-json3-dev libqrencode-dev \
    libavahi-client-dev libgtest-dev python3 iproute2 util-linux valgrind pulseaudio pulseaudio-utils libasound2-plugins \
    python3-numpy python3-matplotlib sox chromium
FUZZ_PACKAGES := clang libclang-rt-14-dev
LINT_PACKAGES := clang-format clang-tidy cppcheck
LINT_DIR ?= build-lint
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine64 libboost-dev nlohmann-json3-dev
# Wine's 32-bit loader, from Debian's i386 architecture.
WINDOWS32_TEST_PACKAGES := wine32:i386
WINDOWS_DIR ?= build-windows
WINDOWS32_DIR ?= build-windows32
WINDOWS_BUILD_TYPE ?= Release
PACKAGE_PACKAGES := debhelper dpkg-dev fakeroot lintian zip debootstrap
# The listening bench's PipeWire room (SOUND=pipewire); pulseaudio stays, for the other rooms.
PIPEWIRE_PACKAGES := pipewire pipewire-pulse wireplumber
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZE_DIR ?= build-sanitize
SONG ?= songs/frere_jacques.mid
PACKAGE_DIR ?= build-package
DIST_DIR ?= dist
VERSION := $(shell sed -n 's/^project.tonecast VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
DEB_VERSION := $(shell sed -n '1s/^tonecast (\(.*\)).*/\1/p' debian/changelog)
DEB_FILE := tonecast_$(DEB_VERSION)_$(shell dpkg --print-architecture).deb
WINDOWS_ZIP_NAME := tonecast-$(VERSION)-windows
CLIENTS ?= 4
LINK ?= none
SOUND ?= resampling
SEED ?= 1
BUSY ?=
LEAD ?=
PAGES ?=
READINGS ?=
PAUSES ?=
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

.PHONY: all deps build test test-sanitize demo bench-listening bench-concert bench-live clean fuzz lint windows windows32 test-windows test-windows32 package package-deb package-zip test-package

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

# The room's timing as a listener hears it, old-style clients and new ones beside a perfectly timed
# reference: each client behind a link of LINK's profile (none, wired, wifi; SEED seeds its delays),
# into a sound server of SOUND's profile (resampling, desktop, pipewire),
# with BUSY=1 on a machine whose every core is kept busy, and with LEAD=MS the server's --lead.
# PAGES=N adds N browser pages to the new clients' voices, and one more that joins a third into the song.
# READINGS=DIR keeps what each new client read of its sound stream, one file per sound server and client.
bench-listening: deps build
	$(if $(filter pipewire,$(SOUND)),$(call install_missing,$(PIPEWIRE_PACKAGES)))
	tests/e2e/netns_run.sh $(PYTHON) bench/listening.py --tonecast $(BUILD_DIR)/src/tonecast --song $(SONG) \
	    --clients $(CLIENTS) --link $(LINK) --sound $(SOUND) --seed $(SEED) $(if $(filter 1,$(BUSY)),--busy) \
	    $(if $(LEAD),--lead $(LEAD)) $(if $(PAGES),--pages $(PAGES)) $(if $(READINGS),--readings $(abspath $(READINGS)))

# How fast the room obeys the conductor's page, as a listener hears it: two clients that keep the
# room's clock and an older one, paused, resumed and sought PAUSES times (default 40) through the
# conductor's socket, each pause and seek at a moment SEED draws, into a sound server of SOUND's
# profile; BUSY=1 and LEAD=MS as for bench-listening.
bench-concert: deps build
	$(if $(filter pipewire,$(SOUND)),$(call install_missing,$(PIPEWIRE_PACKAGES)))
	tests/e2e/netns_run.sh $(PYTHON) bench/concert_listening.py --tonecast $(BUILD_DIR)/src/tonecast --sound $(SOUND) \
	    --seed $(SEED) $(if $(filter 1,$(BUSY)),--busy) $(if $(LEAD),--lead $(LEAD)) $(if $(PAUSES),--pauses $(PAUSES))

# How live playing sounds: tonecast --live --rtp-midi with two clients of live playing and an older
# one, played by a scripted RTP-MIDI keyboard ROUNDS times (default 20) a chord and a run, SEED
# drawing how long each note is held, into a sound server of SOUND's profile; BUSY=1 as for
# bench-listening, LEAD=MS the server's --live-lead, LINK each client's link as for bench-listening
# (the keyboard stays on the room's network).
bench-live: deps build
	$(if $(filter pipewire,$(SOUND)),$(call install_missing,$(PIPEWIRE_PACKAGES)))
	tests/e2e/netns_run.sh $(PYTHON) bench/live_listening.py --tonecast $(BUILD_DIR)/src/tonecast --sound $(SOUND) \
	    --link $(LINK) --seed $(SEED) $(if $(filter 1,$(BUSY)),--busy) $(if $(LEAD),--lead $(LEAD)) $(if $(ROUNDS),--rounds $(ROUNDS))

# Every fuzz target for FUZZ_SECONDS seconds each, seeded by the files the unit tests read.
fuzz: deps build
	$(call install_missing,$(FUZZ_PACKAGES))
	cmake -S . -B $(FUZZ_DIR) -DTONECAST_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	tests/fuzz/run_fuzzers.sh $(FUZZ_DIR) $(BUILD_DIR) $(FUZZ_SECONDS)

# The hygiene gate: the build under the strict warning list (-Werror), the layout of .clang-format,
# cppcheck and clang-tidy; any warning, unformatted line or finding fails it. Each tool's chosen
# checks and their justified exclusions are in .clang-format, .cppcheck-suppressions and .clang-tidy.
LINT_SOURCES = $(sort $(shell find src tests bench -name '*.cpp' -o -name '*.h'))
# The Windows host's files are not in this build's compile database: only the format check sees them.
LINT_UNITS = $(filter-out tests/fuzz/% tests/e2e/% %_windows.cpp %speaker_beep.cpp %speaker_beep_test.cpp,$(filter %.cpp,$(LINT_SOURCES)))
lint: deps
	$(call install_missing,$(LINT_PACKAGES))
	cmake -S . -B $(LINT_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTONECAST_STRICT=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	cmake --build $(LINT_DIR) -j $(JOBS)
	clang-format --dry-run --Werror $(LINT_SOURCES)
	cppcheck --project=$(LINT_DIR)/compile_commands.json --std=c++17 \
	    --enable=warning,style,performance,portability --library=googletest --library=posix --inline-suppr \
	    --suppressions-list=.cppcheck-suppressions --quiet --error-exitcode=1 -j $(JOBS)
	printf '%s\n' $(LINT_UNITS) | xargs -P $(JOBS) -n 4 clang-tidy -p $(LINT_DIR) --quiet --warnings-as-errors='*'

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

# The same for the 32-bit build, under Wine's 32-bit loader.
test-windows32: deps build windows32
	@dpkg --print-foreign-architectures | grep -qx i386 || \
	    { echo "Adding the i386 architecture"; $(SUDO) dpkg --add-architecture i386 && $(SUDO) apt-get update; }
	$(call install_missing,$(WINDOWS32_TEST_PACKAGES))
	cmake -S . -B $(WINDOWS32_DIR) -DBUILD_TESTING=ON -DTONECAST_LINUX_PROGRAM=$(abspath $(BUILD_DIR))/src/tonecast
	cmake --build $(WINDOWS32_DIR) -j $(JOBS)
	cd $(WINDOWS32_DIR) && ctest --output-on-failure -j $(JOBS)

# The Debian package and the Windows zip, into $(DIST_DIR)/. The package is built from a copy of
# the tree, so that dpkg-buildpackage's files stay out of the checkout.
package: package-deb package-zip

package-deb: deps
	$(call install_missing,$(PACKAGE_PACKAGES))
	@[ "$(firstword $(subst -, ,$(DEB_VERSION)))" = "$(VERSION)" ] || { \
	    echo "package: debian/changelog is at $(DEB_VERSION), CMakeLists.txt at $(VERSION): add a changelog entry"; exit 1; }
	rm -rf $(PACKAGE_DIR)/source && mkdir -p $(PACKAGE_DIR)/source $(DIST_DIR)
	git ls-files -co --exclude-standard | tar -cf - --ignore-failed-read -T - | tar -xf - -C $(PACKAGE_DIR)/source
	cd $(PACKAGE_DIR)/source && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -j$(JOBS)
	cp $(PACKAGE_DIR)/$(DEB_FILE) $(DIST_DIR)/
	lintian --fail-on error,warning --display-info $(DIST_DIR)/$(DEB_FILE)

# Windows users get the program for 64-bit and for 32-bit Windows, a folder each with tonecast.exe
# and the libqrencode.dll it loads, a README.txt that says which to take, and the licences, all text
# with Windows line ends. Both DLLs are built from one source under one licence, so its text and the
# notices of the other parts the programs hold lie once at the top, beside tonecast's own licence.
ZIP_ROOT = $(PACKAGE_DIR)/zip/$(WINDOWS_ZIP_NAME)
package-zip: windows windows32
	rm -rf $(PACKAGE_DIR)/zip && mkdir -p $(ZIP_ROOT)/64-bit $(ZIP_ROOT)/32-bit $(DIST_DIR)
	cp $(WINDOWS_DIR)/tonecast.exe $(WINDOWS_DIR)/libqrencode.dll $(ZIP_ROOT)/64-bit/
	cp $(WINDOWS32_DIR)/tonecast.exe $(WINDOWS32_DIR)/libqrencode.dll $(ZIP_ROOT)/32-bit/
	sed 's/$$/\r/' packaging/windows-README.txt > $(ZIP_ROOT)/README.txt
	sed 's/$$/\r/' LICENSE > $(ZIP_ROOT)/LICENSE.txt
	sed 's/$$/\r/' packaging/windows-third-party.txt > $(ZIP_ROOT)/THIRD-PARTY.txt
	sed 's/$$/\r/' $(WINDOWS_DIR)/qrencode-source/qrencode-*/COPYING > $(ZIP_ROOT)/LGPL-2.1.txt
	sed 's/$$/\r/' $(WINDOWS_DIR)/plib-source/plib-*/COPYING > $(ZIP_ROOT)/LGPL-2.0.txt
	rm -f $(DIST_DIR)/$(WINDOWS_ZIP_NAME).zip
	cd $(PACKAGE_DIR)/zip && zip -qrX $(abspath $(DIST_DIR))/$(WINDOWS_ZIP_NAME).zip $(WINDOWS_ZIP_NAME)

# Checks the Windows zip's contents; installs the package in a fresh Debian 12 root, runs it there,
# and removes it again.
test-package: package-deb package-zip
	tests/package/zip_test.sh $(DIST_DIR)/$(WINDOWS_ZIP_NAME).zip $(wildcard $(WINDOWS_DIR)/qrencode-download/qrencode_*.orig.tar.*)
	$(SUDO) tests/package/install_test.sh $(DIST_DIR)/$(DEB_FILE) $(PACKAGE_DIR)

clean:
	rm -rf $(BUILD_DIR)
