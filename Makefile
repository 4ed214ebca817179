# Front door of the build. Everything real lives in CMakeLists.txt.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
DEMO_ROOT ?= $(CURDIR)/demo-root
DEMO_PORT ?= 7070

.PHONY: all build test test-asan demo demo-stop bench bench-compare clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Builds and runs every test.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same tests under the address and undefined-behaviour sanitizers.
test-asan:
	$(MAKE) test BUILD=build-asan BUILD_TYPE=Debug CMAKE_FLAGS=-DTVN_SANITIZE=ON

# Builds, lays out a demo server root and starts the server on 127.0.0.1:$(DEMO_PORT).
demo: build
	demo/make-demo-root.sh $(BUILD) $(DEMO_ROOT) $(DEMO_PORT)

demo-stop:
	demo/stop-demo.sh $(DEMO_ROOT)

# Builds, starts a server on a temporary root and prints tvnbench's figures (a few minutes).
bench: build
	bench/run.sh $(BUILD)

# The same workloads against tolvane and vsftpd side by side, interleaved (as root; installs
# vsftpd, socat and curl when missing).
bench-compare: build
	bench/compare.sh $(BUILD)

clean:
	rm -rf build build-asan
