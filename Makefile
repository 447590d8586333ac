# The two set-up commands: `make run` and `make test`. Both install missing Debian packages first.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 20

.PHONY: deps run window test tsan build-dev build-release bench fuzz fuzz-long clean

deps:
	@bash scripts/deps.sh

build-release: deps
	cmake --preset release >/dev/null
	cmake --build build/release -j $(JOBS) --target plindo

run: build-release
	build/release/app/plindo --headless $(ARGS)

window: build-release
	build/release/app/plindo $(ARGS)

build-dev: deps
	cmake --preset dev >/dev/null
	cmake --build build/dev -j $(JOBS)

test: build-dev
	cd build/dev && ctest -j $(JOBS) --output-on-failure --timeout 300
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash scripts/fuzz.sh build/dev

fuzz: build-dev
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash scripts/fuzz.sh build/dev

# Every target for FUZZ_SECONDS (600 unless given) from its corpus; inputs that reach new code join the corpus
# under fuzz/, to be committed.
fuzz-long: build-dev
	FUZZ_SECONDS=$(if $(filter command line environment,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS),600) FUZZ_KEEP=1 \
		JOBS=$(JOBS) bash scripts/fuzz.sh build/dev

# ThreadSanitizer over the tests of the folders that run threads (the window tests stay out). Reports inside
# third-party libraries are suppressed in scripts/tsan.supp, each with its reason; any other report fails.
TSAN_TESTS := tests_platform tests_motion tests_link tests_serato tests_group tests_host
# Left to the sanitizer suite: a tick-for-tick count through the launched program on its real clock, which
# ThreadSanitizer's slowdown moves off it (the same road runs in process here).
TSAN_SKIP := WholeRoad.TheProgramTurnsABridgedDeckTickForTickSeenThroughTheMidiLog
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build build/tsan -j $(JOBS) --target $(TSAN_TESTS)
	cd build/tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
		ctest -j $(JOBS) -L '^(platform|motion|link|serato|group|host)$$' -E '$(TSAN_SKIP)' --output-on-failure \
		--timeout 600

bench: deps
	cmake --preset release >/dev/null
	cmake --build build/release -j $(JOBS)
	bash scripts/bench.sh build/release

clean:
	rm -rf build
