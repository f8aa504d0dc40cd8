# Thin wrapper over CMake. SANITIZE=address or SANITIZE=thread builds into its own tree.
SANITIZE ?=
ifeq ($(SANITIZE),)
BUILD_DIR := build
else
BUILD_DIR := build-$(SANITIZE)
endif
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test demo fuzz bench clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DSANITIZE=$(SANITIZE) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 1500

demo: build
	@bash demo/run.sh $(BUILD_DIR)

fuzz: deps
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFERRYNET_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

bench: build
	@bash bench/run.sh $(BUILD_DIR)

clean:
	rm -rf build build-address build-thread build-fuzz
