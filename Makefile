# The two commands of the README, and the rest of the developer's tasks.
BUILD := build
.DEFAULT_GOAL := test
.PHONY: deps build run test bench release screenshots clean

deps:
	@scripts/setup-deps.sh

build: deps
	@cmake --preset test >/dev/null
	@cmake --build --preset test

run: build
	@scripts/run-noctara.sh $(BUILD)

# Formatting, clang and clang-tidy first, then the release test (no Wine),
# then every test under Wine.
test: build
	@cmake --build --preset test --target checks
	@tests/release/test-release.sh
	@tests/run-tests.sh $(BUILD)

# Measurements, not tests: never part of `make test`.
bench: build
	@scripts/bench.sh $(BUILD)

# Signed with `make release SIGN_PFX=... SIGN_PASSWORD_FILE=... [SIGN_CA=...]`;
# make hands them to the script in its environment.
release: deps
	@scripts/release.sh

screenshots: build
	@scripts/screenshots.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-* dist
