BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps test-deps configure build test run run-gateway run-fax-gateway format-check clean

# What the station needs to build and run; the test peers come with the
# test command only.
deps:
	@./scripts/install-deps

test-deps:
	@./scripts/install-deps --tests

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The load runs go last and two at a time, so they do not compete with the
# rest for the machine; as timing-bound runs they get one second try. They
# run whether or not the rest passed; the command fails when either stage
# did. Each stage keeps its results, every test's output with them, in a
# JUnit file under Testing/, and the run ends naming each skipped test and why.
test: test-deps build
	cd $(BUILD) && export QT_QPA_PLATFORM=$${QT_QPA_PLATFORM:-offscreen} && \
	  rm -f Testing/results.xml Testing/load-results.xml && status=0 && \
	  { ctest --output-on-failure -j $(JOBS) --timeout 600 -LE load \
	      --output-junit Testing/results.xml || status=1; } && \
	  { ctest --output-on-failure -j 2 --timeout 600 -L load --repeat until-pass:2 \
	      --output-junit Testing/load-results.xml || status=1; } && \
	  python3 $(CURDIR)/tests/support/skipped_tests.py Testing/results.xml \
	      Testing/load-results.xml && \
	  exit $$status

run: build
	./scripts/run-station $(abspath $(BUILD))

run-gateway: build
	./scripts/run-station --gateway $(abspath $(BUILD))

run-fax-gateway: build
	./scripts/run-station --fax-gateway $(abspath $(BUILD))

format-check: configure
	cmake --build $(BUILD) --target format-check

clean:
	rm -rf $(BUILD)
