# The two commands of the README, and the rest of the developer's tasks.
BUILD := build
.DEFAULT_GOAL := test
.PHONY: deps build run test format bench-build bench release verify-release screenshots clean

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

# Rewrites every tracked C/C++ file as the format check wants it (.clang-format).
format: deps
	@git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i

# Measurements and pictures, not tests: never part of `make test`. They build
# in a folder of their own, with a service port of its own, so they can run
# while the tests do.
bench-build: deps
	@cmake --preset bench >/dev/null

bench: bench-build
	@scripts/bench.sh build-bench

# `make release UPDATE_AUTHORITY=host[:port] [DOWNLOAD_URL=https://.../ZIP
# HOMEPAGE=https://...] [DIST=dist]`: the update service is required, the
# download address and the home page bring the winget and Scoop manifests.
# It installs only what packing, the manifests and signing need. Signed with
# SIGN_PFX=... SIGN_PASSWORD_FILE=... [SIGN_CA=...], time-stamped with
# SIGN_TSA=URL [SIGN_TSA_CA=...] besides; make hands them all to the program
# in its environment.
release:
	@scripts/setup-deps.sh release
	@scripts/release.py pack --dist "$(or $(DIST),dist)"

# `make verify-release ZIP=... [SIGN_CA=...] [SIGN_TSA_CA=...]`: rebuilds the
# zip's files from this checkout (the exe in build-verify/) and compares. It
# installs only what rebuilding needs and is missing, so a complete toolchain
# is left as it is for the comparison.
verify-release:
	@scripts/setup-deps.sh rebuild
	@scripts/release.py verify "$(ZIP)"

screenshots: bench-build
	@scripts/screenshots.sh build-bench

clean:
	rm -rf $(BUILD) build-* dist
