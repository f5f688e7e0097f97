BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Waits while make's SIGINT is pending (bit 2 of its pending masks).
UNTIL_MAKE_TOOK_SIGINT = while sed -n 's/^S[a-z]*Pnd:\t//p' /proc/$$PPID/status 2> /dev/null | \
	grep -q '[2367abef]$$'; do sleep 0.05; done

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
# A Ctrl+C reaches make and the recipe's shell at once, and make 4.3 takes a
# recipe that has ended before make took the signal itself for a lost child
# ("wait: No child processes. Stop.", twice): so the shell ends, by the same
# signal, once the tests have and make's SIGINT is no longer pending.
test: test-deps build
	cd $(BUILD) && trap "trap - INT && $(UNTIL_MAKE_TOOK_SIGINT) && kill -INT $$$$" INT && \
	  export QT_QPA_PLATFORM=$${QT_QPA_PLATFORM:-offscreen} && \
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
