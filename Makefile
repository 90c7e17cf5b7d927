# Thin wrapper over CMake: `make demo` and `make test` are the two everyday commands.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

.PHONY: all build demo test clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Extracts the shipped example archive into $(BUILD)/demo, away from the source tree.
demo: build
	rm -rf $(BUILD)/demo
	mkdir -p $(BUILD)/demo
	cp examples/MOLVARE.BCL examples/MOLVARE.BCD $(BUILD)/demo/
	cd $(BUILD)/demo && ../unbcl; echo "unbcl exit code: $$?"
	ls -l $(BUILD)/demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD)
