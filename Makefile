# The two commands of the README, and the rest of the developer's tasks.
BUILD := build
.DEFAULT_GOAL := test
.PHONY: deps build run test bench fuzz release screenshots clean

deps:
	@scripts/setup-deps.sh

build: deps
	@cmake --preset test >/dev/null
	@cmake --build --preset test

run: build
	@scripts/run-noctara.sh $(BUILD)

test: build
	@scripts/run-tests.sh $(BUILD) -j2

# Measurements, not tests: never part of `make test`.
bench: build
	@scripts/bench.sh $(BUILD)

# Native fuzzing of the JSON extraction for a bounded time.
fuzz: deps
	@scripts/fuzz.sh

release: deps
	@scripts/release.sh

screenshots: build
	@scripts/screenshots.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-* dist
