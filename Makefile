# Front door of the build. Everything real lives in CMakeLists.txt.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
DEMO_ROOT ?= $(CURDIR)/demo-root
DEMO_PORT ?= 7070
DEMO_TLS_PORT ?= 7443
SOAK_CLIENTS ?= 500
SOAK_SECONDS ?= 120
SCALE_CLIENTS ?= 200
SCALE_SECONDS ?= 90
SCALE_MEASURE_SECONDS ?= 5
SCALE_SHARED_DIR ?= /tmp
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= all
PREFIX ?= /usr/local
DESTDIR ?=
PACKAGE_BUILD ?= build-package
# What the demo runs: the launcher, the server library, the modules and the client.
DEMO_TARGETS = tvn tolvane listacct hostacct pathmap journal tvnclient

.PHONY: all build configure test test-asan fuzz demo demo-stop install package bench bench-mount bench-compare soak scale-test clean

all: build

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# Builds and runs every test.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same tests under the address and undefined-behaviour sanitizers.
test-asan:
	$(MAKE) test BUILD=build-asan BUILD_TYPE=Debug CMAKE_FLAGS=-DTVN_SANITIZE=ON

# Builds the libFuzzer targets with clang in $(FUZZ_BUILD) and runs each for $(FUZZ_SECONDS)
# seconds; fails when one finds a fault (its reproducer lands in $(FUZZ_BUILD)/findings/).
fuzz:
	JOBS=$(JOBS) tests/fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Builds what the demo needs (not the tests), lays out a demo server root and starts the
# server on 127.0.0.1:$(DEMO_PORT), and with TLS on 127.0.0.1:$(DEMO_TLS_PORT).
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	demo/make-demo-root.sh $(BUILD) $(DEMO_ROOT) $(DEMO_PORT) $(DEMO_TLS_PORT)

demo-stop:
	demo/stop-demo.sh $(DEMO_ROOT)

# Builds the programs and installs them under $(PREFIX), the server root, the manual pages,
# the systemd unit and the logrotate file; DESTDIR stages all of it in a directory.
install:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target tvn_install_targets
	DESTDIR=$(abspath $(DESTDIR)) cmake --install $(BUILD)

# A Debian package (programs under /usr, the server root, the unit), built without the tests
# in $(PACKAGE_BUILD).
package:
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
		-DTVN_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_BUILD) -j$(JOBS) --target tvn_install_targets
	cd $(PACKAGE_BUILD) && cpack

# Builds, starts a server on a temporary root and prints tvnbench's figures (a few minutes);
# read, write and a raw TCP stream also at 40 ms of round trip through tvnbench's delay relay.
bench: build
	bench/run.sh $(BUILD)

# tvnmount against tvnclient on one server: a 1 GiB read and tar -x of 1,000 files (as root).
bench-mount: build
	$(BUILD)/bin/tvnbench --build $(BUILD) -v mount

# The same workloads against tolvane and vsftpd side by side, interleaved (as root; installs
# vsftpd, socat and curl when missing).
bench-compare: build
	bench/compare.sh $(BUILD)

# Builds, then drives a server of its own with $(SOAK_CLIENTS) concurrent clients for
# $(SOAK_SECONDS) seconds and checks that nothing was lost and no worker left behind (as root).
soak: build
	$(BUILD)/bin/tvnsoak --clients $(SOAK_CLIENTS) --seconds $(SOAK_SECONDS)

# Builds, then starts HAProxy (Debian's haproxy) in front of three servers sharing one account
# database and one tree of users' areas: prints sessions per second and read throughput through
# HAProxy over three servers, over one, and straight to one server, then drives them with
# $(SCALE_CLIENTS) clients for $(SCALE_SECONDS) seconds, one server stopped half-way, and checks
# that nothing was lost (as root). The shared tree goes under $(SCALE_SHARED_DIR).
scale-test: configure
	cmake --build $(BUILD) -j$(JOBS) --target tvnscale
	$(BUILD)/bin/tvnscale --clients $(SCALE_CLIENTS) --seconds $(SCALE_SECONDS) \
		--measure $(SCALE_MEASURE_SECONDS) --shared-dir $(SCALE_SHARED_DIR)

clean:
	rm -rf build build-asan $(FUZZ_BUILD) $(PACKAGE_BUILD)
