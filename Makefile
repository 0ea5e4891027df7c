# brightloom Share: `make run` starts the application, `make test` runs every test.
# Every target installs what it needs first (see deps.txt and scripts/deps.sh).

JOBS       ?= $(shell nproc)
BUILD_DIR  ?= build
TEST_DIR   ?= build-test
TSAN_DIR   ?= build-tsan
SOAK_SECONDS ?= 600
APP        := $(BUILD_DIR)/brightloom-share
RUN_ARGS   ?=
FUZZ_DIR   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_FINDINGS ?= $(or $(TMPDIR),/tmp)/brightloom-share-fuzz

.PHONY: all deps build test tsan screenshots soak fuzz run package format format-check clean bench bench-browser bench-phone bench-search bench-thumbnails bench-hostile bench-activity

all: build

deps:
	@./scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DBRIGHTLOOM_SANITIZE=ON -DBRIGHTLOOM_TESTS=ON -DBRIGHTLOOM_WARNINGS_AS_ERRORS=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The server, tunnel, store and app tests (the tray's among them, under their own Xvfb) with
# ThreadSanitizer, in a build of their own (not part of `make test`). A race report fails the test;
# nothing of our own code is suppressed (tests/support/test_main.cpp).
tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DBRIGHTLOOM_TSAN=ON -DBRIGHTLOOM_TESTS=ON -DBRIGHTLOOM_WARNINGS_AS_ERRORS=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target test_server test_store test_tunnel test_app test_app_tray
	cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 900 -L '^(server|store|tunnel|app|app_tray)$$'

# Pictures of both windows, dark and light, with a QR code, start at login and an alert, for a person to
# look at: $(TEST_DIR)/tests/screenshots/*.png. Not part of `make test`: it compares nothing.
screenshots: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DBRIGHTLOOM_SANITIZE=ON -DBRIGHTLOOM_TESTS=ON -DBRIGHTLOOM_WARNINGS_AS_ERRORS=ON
	cmake --build $(TEST_DIR) -j $(JOBS) --target app_screenshots
	$(TEST_DIR)/tests/app_screenshots
	@ls $(TEST_DIR)/tests/screenshots/

# Mixed traffic against `brightloom-share serve` for SOAK_SECONDS (make soak SOAK_SECONDS=120), then a
# check that nothing was left behind: memory, descriptors, temporary files, child processes.
soak: build
	BUILD_DIR=$(BUILD_DIR) python3 bench/soak.py --seconds $(SOAK_SECONDS)

# Every fuzz target for FUZZ_SECONDS each, built with clang and libFuzzer in $(FUZZ_DIR); new inputs and
# findings go to FUZZ_FINDINGS, outside the source tree. Fails when any target finds something.
fuzz:
	@./scripts/deps.sh
	@./scripts/deps.sh deps-fuzz.txt
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIGHTLOOM_FUZZ=ON \
		-DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_request fuzz_path fuzz_form_cookie fuzz_redirect \
		fuzz_syncthing_config fuzz_state_document
	FUZZ_BUILD=$(FUZZ_DIR) FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_FINDINGS=$(FUZZ_FINDINGS) ./scripts/fuzz.sh

# The Debian package of the release build: $(BUILD_DIR)/brightloom-share_<version>_<arch>.deb.
package: build
	cd $(BUILD_DIR) && cpack -G DEB
	@ls $(BUILD_DIR)/brightloom-share_*.deb

run: build
	@if [ -x $(APP) ]; then exec $(APP) $(RUN_ARGS); \
	else echo "brightloom Share has nothing to run yet: the application itself is not built so far."; fi

bench: build
	@./scripts/deps.sh deps-bench.txt
	BUILD_DIR=$(BUILD_DIR) ./bench/run.sh; status=$$?; \
	BUILD_DIR=$(BUILD_DIR) node bench/thumbnails.mjs || status=1; \
	BUILD_DIR=$(BUILD_DIR) node bench/browser.mjs || status=1; \
	BUILD_DIR=$(BUILD_DIR) node bench/phone.mjs || status=1; \
	BUILD_DIR=$(BUILD_DIR) ./bench/videos.sh || status=1; \
	BUILD_DIR=$(BUILD_DIR) node bench/search.mjs || status=1; \
	exit $$status

# The column browser alone, in headless Chromium (chromium and the browser tests' npm modules).
bench-browser: build
	BUILD_DIR=$(BUILD_DIR) node bench/browser.mjs

# A phone in headless Chromium before a folder of 2,000 photos of 24 megapixels: the grid and the viewer.
bench-phone: build
	BUILD_DIR=$(BUILD_DIR) node bench/phone.mjs

# What recording visitors' activity costs: the serving figures with recording on and off side by side
# (nginx beside them), and activity.jsonl's growth per 10,000 requests.
bench-activity: build
	@./scripts/deps.sh deps-bench.txt
	BUILD_DIR=$(BUILD_DIR) ./bench/activity.sh

# Thumbnails alone, against nginx's image filter (nginx and its module from deps-bench.txt).
bench-thumbnails: build
	@./scripts/deps.sh deps-bench.txt
	BUILD_DIR=$(BUILD_DIR) node bench/thumbnails.mjs

# Searching a share of 100,000 entries, and listings while eight clients search (nginx beside them).
bench-search: build
	@./scripts/deps.sh deps-bench.txt
	BUILD_DIR=$(BUILD_DIR) node bench/search.mjs

# The probe's hostile shapes against the release build, each on a fresh server, with other visitors'
# answers, memory and CPU meanwhile (make bench-hostile HOSTILE_ARGS="--only flood --scale 0.2").
bench-hostile: build
	BUILD_DIR=$(BUILD_DIR) python3 bench/hostile.py $(HOSTILE_ARGS)

# Hostile input and what it costs the server: decoder bombs, one thumbnail asked for by twenty at once,
# unlock guesses from one /64 and from many networks, thousands of half-sent bodies, unreadable heads.
bench-hostile-input: build
	BUILD_DIR=$(BUILD_DIR) python3 bench/hostile_input.py

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD_DIR) $(TEST_DIR) $(TSAN_DIR) $(FUZZ_DIR)
