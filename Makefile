# The two commands of the README, and the rest of the developer's tasks.
BUILD := build
.DEFAULT_GOAL := test
.PHONY: deps build run test clean

deps:
	@scripts/setup-deps.sh

build: deps
	@cmake --preset test >/dev/null
	@cmake --build --preset test

run: build
	@scripts/run-noctara.sh $(BUILD)

test: build
	@scripts/run-tests.sh $(BUILD) -j2

clean:
	rm -rf $(BUILD) build-release dist
