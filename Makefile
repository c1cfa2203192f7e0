# make run   installs what Torvane needs, builds it and starts it
# make test  installs, builds and runs every test (unit, GUI and end-to-end recordings)
# make bench installs, builds and runs the benchmarks
# make coverage  builds with gcov into build-coverage, runs every test, prints the line coverage
# make sanitize  builds with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan and runs
#                the unit, GUI and end-to-end tests there
# make fuzz  builds the fuzzers of every file and message reader with clang and runs each
#            (FUZZ_RUNS inputs, default 1000000)
# make format-check  fails on any C++ file that clang-format would change
# make install  builds and installs into PREFIX (default /usr/local), under DESTDIR when given
# make package  builds the Debian package build/torvane_<version>_<arch>.deb

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

PACKAGES := cmake g++ make pkg-config \
	qt6-base-dev qt6-base-dev-tools qt6-websockets-dev qt6-qpa-plugins libgl-dev \
	libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev libavdevice-dev ffmpeg libyuv-dev \
	libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-render0-dev libxcb-composite0-dev libxcb-xfixes0-dev \
	libxcb-damage0-dev libxcb-image0-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-shape0-dev \
	libpulse-dev pulseaudio pulseaudio-utils libsodium-dev \
	xvfb xauth openbox x11-utils xdotool fonts-font-awesome time gcovr at-spi2-core dbus-daemon \
	chromium python3-websockets desktop-file-utils libpipewire-0.3-dev qt6-wayland

# The headless GNOME session of the Wayland tests and benchmark: its compositor, its ScreenCast
# portal and PipeWire, and GStreamer as a second PipeWire producer and reader.
WAYLAND_TEST_PACKAGES := pipewire wireplumber mutter xdg-desktop-portal xdg-desktop-portal-gnome \
	gstreamer1.0-pipewire gstreamer1.0-tools
test sanitize coverage bench: PACKAGES += $(WAYLAND_TEST_PACKAGES)

.PHONY: all deps build run test bench coverage sanitize screenshot clean fuzz install package format-check

all: build

# Installs only what is missing, so repeated runs cost one dpkg query.
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	./$(BUILD_DIR)/torvane

test: build
	bash tests/run_tests.sh $(BUILD_DIR)

# The program in $(PREFIX)/bin, its translations in $(PREFIX)/share/torvane, the menu entry and
# the icons in $(PREFIX)/share; DESTDIR puts the whole tree under another root (for packagers).
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# CPack installs into /usr inside the package and asks dpkg-shlibdeps (dpkg-dev, which needs
# file) for the dependencies. Install it with: sudo apt install ./build/torvane_*.deb
package: PACKAGES += dpkg-dev file
package: build
	cd $(BUILD_DIR) && cpack

# The encoding benchmark, the capture benchmark (about four minutes: six cases of 20 s per side),
# the app benchmark at 1080p60 and 4K60 (three runs of 60 s each, about ten minutes), the sound
# benchmark (about 45 s), then the tab recording benchmark (about a minute).
bench: build
	bash bench/run_bench.sh $(BUILD_DIR)
	bash bench/run_capture_bench.sh $(BUILD_DIR)
	BENCH_SIZE=1920x1080 BENCH_FPS=60 BENCH_SECONDS=60 bash bench/run_app_bench.sh $(BUILD_DIR)
	BENCH_SIZE=3840x2160 BENCH_FPS=60 BENCH_SECONDS=60 bash bench/run_app_bench.sh $(BUILD_DIR)
	bash bench/sound_gaps.sh $(BUILD_DIR)
	bash bench/run_tab_bench.sh $(BUILD_DIR)

# Unoptimised gcov build in its own folder (through ccache when there is one); every test runs,
# then the line coverage of the program code (all but tests/, bench/ and build folders) is the
# last line. The per-file table goes to build-coverage/coverage.txt. Failed tests fail the target.
COVERAGE_DIR := build-coverage
coverage: deps
	cmake -S . -B $(COVERAGE_DIR) -DCMAKE_BUILD_TYPE=Coverage \
		-DCMAKE_CXX_FLAGS_COVERAGE="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS_COVERAGE=--coverage \
		-DCMAKE_CXX_COMPILER_LAUNCHER=$(shell command -v ccache)
	CCACHE_BASEDIR=$(CURDIR) cmake --build $(COVERAGE_DIR) -j$(JOBS)
	find $(COVERAGE_DIR) -name '*.gcda' -delete
	status=0; bash tests/run_tests.sh $(COVERAGE_DIR) || status=$$?; \
	gcovr -r . $(COVERAGE_DIR) -e 'tests/' -e 'bench/' -e 'build[^/]*/' -j$(JOBS) \
		--txt $(COVERAGE_DIR)/coverage.txt -s | sed -n 's/^lines: \([0-9.]*%\).*/lines: \1/p'; \
	exit $$status

# AddressSanitizer and UndefinedBehaviorSanitizer (g++, -O1 with assertions on) in a build of its
# own, through ccache when there is one; then the unit, GUI and end-to-end suites, where the first
# memory error, leak or undefined behaviour fails its suite. The installed program and the
# translation check are left out: they run no code of this build. The leak check runs in full
# but for what tests/lsan.supp names (memory libraries keep until the process ends).
SANITIZE_DIR := build-asan
# Qt's Wayland platform loads Mesa's EGL driver only to ask whether it can draw window
# decorations; the driver leaks at its start and is unloaded before the leak check can name it.
# The sanitizer runs draw no decorations, so the driver is never loaded.
SANITIZE_ENV := QT_WAYLAND_DISABLE_WINDOWDECORATION=1 ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_ASAN=ON \
		-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_COMPILER_LAUNCHER=$(shell command -v ccache)
	CCACHE_BASEDIR=$(CURDIR) cmake --build $(SANITIZE_DIR) -j$(JOBS)
	$(SANITIZE_ENV) bash tests/run_tests.sh $(SANITIZE_DIR) -LE '^(install|lang)$$'

# libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer on every reader of outside input:
# the tab capture text and binary messages and the tab session's arithmetic, hotkeys.json,
# schedule.json, macro.json, the language files and the update check's version file, in a clang
# build of its own (so clang is installed for this target only). Each fuzzer starts from its
# seed corpus in fuzz/corpus/<name> (with fuzz/<name>.dict when there is one) and stops at the
# first crash, leak, undefined behaviour, input taking over 10 s or run over 2 GB, leaving the
# input in $(FUZZ_DIR); new inputs it finds stay there too. The time each took is printed at the end.
FUZZ_DIR := build-fuzz
FUZZ_RUNS ?= 1000000
FUZZERS := tab_text tab_binary tab_session hotkeys schedule macro language version_file journal
fuzz: PACKAGES += clang libclang-rt-dev
fuzz: deps
	cmake -S fuzz -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j$(JOBS)
	@rm -f $(FUZZ_DIR)/times.txt; for name in $(FUZZERS); do \
		mkdir -p $(FUZZ_DIR)/corpus-$$name && start=$$(date +%s) && \
		dict=$$([ -f fuzz/$$name.dict ] && echo -dict=fuzz/$$name.dict); \
		./$(FUZZ_DIR)/$${name}_fuzzer -runs=$(FUZZ_RUNS) -timeout=10 -rss_limit_mb=2048 $$dict \
			-artifact_prefix=$(FUZZ_DIR)/$$name- $(FUZZ_DIR)/corpus-$$name fuzz/corpus/$$name || exit 1; \
		echo "$$name: $$(( $$(date +%s) - start )) s" >>$(FUZZ_DIR)/times.txt; \
	done; cat $(FUZZ_DIR)/times.txt

# Every tracked C++ file as .clang-format lays it out; clang-format 14 is Debian 12's.
format-check: PACKAGES = clang-format
format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# Remakes docs/main-window.png on a private Xvfb display.
screenshot: build
	bash docs/make_screenshot.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
