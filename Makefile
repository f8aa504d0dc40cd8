# Thin wrapper over CMake. SANITIZE=address or SANITIZE=thread builds into its own tree.
SANITIZE ?=
ifeq ($(SANITIZE),)
BUILD_DIR := build
else
BUILD_DIR := build-$(SANITIZE)
endif
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build clang-build test demo fuzz bench clean install uninstall

# clang alone checks the thread-safety annotations, and each compiler warns
# of things the other does not: without a sanitizer, `make test` also
# compiles every target with clang (warnings are errors there too).
ifeq ($(SANITIZE),)
TEST_COMPILES := clang-build
endif

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DSANITIZE=$(SANITIZE) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

clang-build: deps
	@cmake -S . -B build-clang -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build-clang -j $(JOBS)

test: build $(TEST_COMPILES)
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 1500

demo: build
	@bash demo/run.sh $(BUILD_DIR)

fuzz: deps
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFERRYNET_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

bench: build
	@bash bench/run.sh $(BUILD_DIR)

install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# Removes what the last install listed (the manifest leaves DESTDIR out and
# has no line end after its last entry), then the directories only ferrynet uses.
uninstall:
	@manifest="$(BUILD_DIR)/install_manifest.txt"; \
	if [ ! -f "$$manifest" ]; then echo "nothing to uninstall: $$manifest is missing" >&2; exit 1; fi; \
	while IFS= read -r f || [ -n "$$f" ]; do \
	  [ -n "$$f" ] || continue; f="$(DESTDIR)$$f"; \
	  if [ -e "$$f" ] || [ -L "$$f" ]; then rm -f -- "$$f" && echo "-- Removed: $$f"; fi; \
	done < "$$manifest"; \
	for d in include/lapbook include/blurbread share/doc/ferrynet; do \
	  rmdir -- "$(DESTDIR)$(PREFIX)/$$d" 2>/dev/null || true; \
	done

clean:
	rm -rf build build-address build-thread build-clang build-fuzz
