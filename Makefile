BUILD ?= build
ASAN  ?= build-asan
JOBS  ?= $(shell nproc)

.PHONY: setup build run test bench clean

setup:
	@scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/inventory-server

# Unit tests run under AddressSanitizer and UndefinedBehaviorSanitizer;
# the black-box tests start the release executable.
test: build
	@cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON \
	    -DSQLITE_DIR=$(CURDIR)/$(BUILD)/third_party/sqlite >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)
	@cd $(ASAN) && ctest --output-on-failure -j $(JOBS) -L unit
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L blackbox

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN)
