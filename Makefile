# make run   builds Quilmo and starts its most complete front end
# make test  builds everything and runs every test
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 30
# make install PREFIX=... [DESTDIR=...]: the installed tree finds its parts relative to
# itself, so any prefix works.
PREFIX     ?= /usr/local
DESTDIR    ?=
# ccache, where installed, shares compiled objects between builds and checkouts (and lets
# package-check's second build reuse the first's). Looked for when used: `make deps`, which
# the build runs first, installs it.
LAUNCHER    = $(shell command -v ccache >/dev/null 2>&1 && echo -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR := $(CURDIR)

.PHONY: all deps configure build run test test-asan test-tsan fuzz bench screenshots clean install uninstall package package-check

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja $(LAUNCHER) $(CMAKE_ARGS)

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(LAUNCHER) $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

# Tests run on a private session bus, offscreen, with HOME and XDG_* in temporary
# directories (set per test by CTest), exactly as CI runs them.
test: build
	dbus-run-session -- ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DQUILMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

test-tsan:
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp" \
	$(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DQUILMO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug"

fuzz: deps
	cmake -S . -B build-fuzz -G Ninja $(LAUNCHER) -DQUILMO_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz
	@# Each fuzzer grows a working corpus seeded from tests/data/fuzz/<name>.
	@set -e; for f in volume-tag tool-plist entries-file version-document; do \
	  exe=build-fuzz/fuzz/fuzz_$$(echo $$f | tr - _); \
	  mkdir -p build-fuzz/corpus/$$f; \
	  echo "== $$exe ($(FUZZ_SECONDS) s)"; \
	  $$exe -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/corpus/$$f tests/data/fuzz/$$f; \
	done

# Windows, sheets and menus rendered offscreen into docs/screenshots/.
screenshots: build
	bash scripts/screenshots.sh $(BUILD) docs/screenshots

# Every file `make install` wrote is remembered in the build tree (CMake's own manifest
# only holds the last install, and any `cmake --install` replaces it) for `make uninstall`.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"
	@sort -u -o $(BUILD)/quilmo-installed-files.txt $(BUILD)/install_manifest.txt \
	  $$(test -f $(BUILD)/quilmo-installed-files.txt && echo $(BUILD)/quilmo-installed-files.txt)

uninstall:
	DESTDIR="$(DESTDIR)" bash scripts/uninstall.sh $(BUILD)/quilmo-installed-files.txt

# The Debian package (package/quilmo_<version>_<arch>.deb in the build tree). Configured
# again first: the build number and the sources' time (SOURCE_DATE_EPOCH, else the last
# commit's) are read when configuring, and a package must carry the current ones.
package: deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)
	cmake --build $(BUILD) --target package

# Lints and inspects the package, checks its binaries' hardening and builds it a second
# time to compare; as root it also installs and purges it once.
package-check: package
	CMAKE_ARGS="$(CMAKE_ARGS)" bash scripts/package-check.sh $(BUILD)

bench: build
	bash scripts/bench.sh $(BUILD)

clean:
	rm -rf --one-file-system build build-reproducible build-asan build-tsan build-fuzz
