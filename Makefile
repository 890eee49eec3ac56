# The one entry point: make run, make test, make test-asan, make bench.
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-release
JOBS       ?= $(shell nproc)

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

PREFIX ?= /usr/local

.PHONY: all deps build test test-asan check-exact rebaseline bench run fuzz clean install uninstall package

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/qel $(BUILD)/roms/demo.nes

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE exact-long

# The long exactness check: every cartridge for 3000 frames with and without
# the shortcuts and the SIMD decode.
check-exact: build
	@cd $(BUILD) && ctest --output-on-failure -L exact-long

# Re-makes every frozen picture and sound hash in tests/pictures, on purpose.
rebaseline: build
	@cd $(BUILD) && QEL_REBASELINE=1 ctest -L picture -j $(JOBS) --output-on-failure | \
	    grep -E 'tests passed|\*\*\*|qel-run failed'
	@git status --short tests/pictures

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS) -LE exact-long

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS)
	@$(BENCH_BUILD)/bench/qel-bench
	@scripts/bench-frames $(BENCH_BUILD)/qel-run $(BENCH_BUILD)/roms/demo.nes \
	  $(BENCH_BUILD)/bench/bankswitch-idle.nes $(BENCH_BUILD)/bench/bankswitch-switch.nes

# Each libFuzzer harness for FUZZ_SECONDS, seeded with the project's cartridges.
fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	    -DQEL_FUZZ=ON -DQEL_BUILD_DESKTOP=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target qel-fuzz-load qel-fuzz-cpu qel-fuzz-state \
	    rom-mmc1 rom-uxrom rom-cnrom rom-mmc3 rom-pictures rom-demo rom-battery \
	    rom-axrom rom-nina001 rom-vrc4a rom-mmc2 rom-fme7 rom-namco108 rom-action53
	@mkdir -p $(FUZZ_BUILD)/corpus-load && python3 -c 'import sys, zipfile, gzip; \
	    r = open(sys.argv[1], "rb").read(); \
	    zipfile.ZipFile(sys.argv[2] + "/cnrom.zip", "w", zipfile.ZIP_DEFLATED).writestr("cnrom.nes", r); \
	    open(sys.argv[2] + "/cnrom.nes.gz", "wb").write(gzip.compress(r))' \
	    $(FUZZ_BUILD)/roms/cnrom.nes $(FUZZ_BUILD)/corpus-load
	@for h in load cpu state; do \
	    mkdir -p $(FUZZ_BUILD)/corpus-$$h && cp $(FUZZ_BUILD)/roms/*.nes $(FUZZ_BUILD)/corpus-$$h/ && \
	    echo "fuzz: $$h for $(FUZZ_SECONDS) s" && \
	    $(FUZZ_BUILD)/qel-fuzz-$$h -max_total_time=$(FUZZ_SECONDS) -max_len=200000 \
	        $(FUZZ_BUILD)/corpus-$$h >$(FUZZ_BUILD)/fuzz-$$h.log 2>&1; rc=$$?; \
	    grep -E '^Done [0-9]+ runs|ERROR|SUMMARY' $(FUZZ_BUILD)/fuzz-$$h.log | tail -3; \
	    [ $$rc -eq 0 ] || { echo "fuzz: $$h failed, see $(FUZZ_BUILD)/fuzz-$$h.log"; exit 1; }; \
	done

# The programs, the libretro core and the desktop's files under PREFIX (DESTDIR
# honoured); `make uninstall` removes them again.
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip
	@{ echo "$(DESTDIR)$(PREFIX)"; sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt; } \
	    >$(BUILD)/installed-files

uninstall:
	@scripts/uninstall $(BUILD)/installed-files

# The Debian package qel_VERSION_ARCH.deb, in this folder.
package: build
	@cd $(BUILD) && cpack -B cpack >/dev/null
	@mv $(BUILD)/cpack/qel_*.deb . && ls qel_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
