# SPDX-License-Identifier: MIT
# Thin wrapper over CMake: `make demo` and `make test` are the two everyday commands.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

# UNBCL_BCL=OFF builds unbcl alone, without bcl and so without CLI11.
UNBCL_BCL ?= ON

# Debian packages the build and the tests need; `make deps` installs the missing ones as root.
# The tests also use python3 (a real JSON parser, zlib's CRC) and mkfs.ext4 (a small full disk).
DEBIAN_PACKAGES = cmake make g++ libgtest-dev python3 e2fsprogs strace zlib1g-dev
ifeq ($(UNBCL_BCL),ON)
DEBIAN_PACKAGES += libcli11-dev zlib1g-dev libssl-dev bash-completion zsh fish
# bcl mount: FUSE to build against and to run the tests with.
DEBIAN_PACKAGES += libfuse3-dev pkg-config fuse3
endif

.PHONY: all deps build demo test clean

all: build

deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing: $$missing"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else echo "missing Debian packages (install them as root): $$missing"; exit 1; fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DUNBCL_BCL=$(UNBCL_BCL) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Builds the two programs only (not the tests) and shows them on the shipped example archive,
# in $(BUILD)/demo, away from the source tree: unbcl extracts it where it stands; bcl lists,
# checks and extracts it beneath a directory.
DEMO_TARGETS = unbcl $(if $(filter ON,$(UNBCL_BCL)),bcl)
demo: deps
	cmake -S . -B $(BUILD) -DUNBCL_BCL=$(UNBCL_BCL) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	rm -rf $(BUILD)/demo
	mkdir -p $(BUILD)/demo
	cp examples/MOLVARE.BCL examples/MOLVARE.BCD $(BUILD)/demo/
	@echo '$$ unbcl'
	@cd $(BUILD)/demo && ../unbcl; echo "unbcl exit code: $$?"
	ls -l $(BUILD)/demo
ifeq ($(UNBCL_BCL),ON)
	@echo '$$ bcl list MOLVARE.BCL'
	@cd $(BUILD)/demo && ../bcl list MOLVARE.BCL
	@echo '$$ bcl test MOLVARE.BCL'
	@cd $(BUILD)/demo && ../bcl test MOLVARE.BCL
	@echo '$$ bcl extract MOLVARE.BCL -C out -v'
	@cd $(BUILD)/demo && ../bcl extract MOLVARE.BCL -C out -v
	ls -lR $(BUILD)/demo/out
endif

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD)

# Times unbcl against tar and cp on generated archives (see bench/bench.py --help); several
# minutes and some 10 GiB of scratch space at full size.
BENCH_ARGS ?=
ALIGN_BENCH_ARGS ?=
BENCH_MOUNT_ARGS ?=
REWRITE_BENCH_ARGS ?=
.PHONY: bench
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DUNBCL_TESTS=OFF -DUNBCL_BENCH=ON
	cmake --build build-bench -j$(JOBS)
	./build-bench/bench/reader_bench
	python3 bench/bench.py --unbcl build-bench/unbcl $(if $(filter ON,$(UNBCL_BCL)),--bcl build-bench/bcl) $(BENCH_ARGS)
	python3 bench/bench_align.py --unbcl build-bench/unbcl --bcl build-bench/bcl $(ALIGN_BENCH_ARGS)
	python3 bench/bench_mount.py --bcl build-bench/bcl $(BENCH_MOUNT_ARGS)
	python3 bench/bench_rewrite.py --bcl build-bench/bcl $(REWRITE_BENCH_ARGS)
