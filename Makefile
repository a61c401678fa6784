# Entry points for people; the work is done by CMake presets and the scripts/ folder.
.PHONY: all build test demo deps clean

all: build

deps:
	@scripts/deps.sh

build: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux

test: deps
	scripts/test.sh

clean:
	rm -rf build
