# Entry points for people and CI. Every target first installs what is missing.
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 10
WERROR := $(if $(CI),ON,OFF)
CMAKE_COMMON := -G Ninja -DQUAVOX_WERROR=$(WERROR)
CTEST := ctest --output-on-failure -j $(JOBS)

.PHONY: deps build run desktop screenshots package test test-asan test-tsan fuzz bench bench-formats format clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j $(JOBS)

# Runs the daemon in the foreground with build/bin as its program folder (Ctrl+C stops it).
run: build
	@port=$$(sed -n 's/.*"port": *\([0-9][0-9]*\).*/\1/p' build/bin/data/config.json 2>/dev/null | head -n 1); \
	port=$${port:-17150}; \
	echo "Quavox HTTP API: http://127.0.0.1:$$port"; \
	echo "Fetch a WAV:     curl -o hello.wav 'http://127.0.0.1:$$port/v1/tts?text=Welcome+aboard+flight+CA1234&language=en'"
	./build/bin/quavoxd

# The desktop program with its window and tray icon, over the same program folder.
desktop: build
	./build/bin/quavox

# Every page of the real window, rendered offscreen to docs/screenshots/.
screenshots: build
	QT_QPA_PLATFORM=offscreen ./build/tools/quavox-screenshots docs/screenshots

# Debian packages in build/packages: quavoxd (the daemon, no Qt) and quavox (the desktop program).
package: build
	cd build && cpack -G DEB -B packages

test: build
	cd build && $(CTEST)

# AddressSanitizer + UBSan, and ThreadSanitizer: the same suites in clang builds, which
# also check the lock annotations. Qt is not built for ThreadSanitizer, so the TSan build
# leaves the desktop program and its tests out.
test-asan: deps
	cmake -S . -B build-asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUAVOX_BENCH=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUAVOX_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAVOX_BENCH=OFF -DQUAVOX_DESKTOP=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUAVOX_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST)

# Runs every libFuzzer target for FUZZ_SECONDS on a scratch copy of its seed corpus.
fuzz: deps
	cmake -S . -B build-fuzz $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAVOX_BENCH=OFF -DQUAVOX_DESKTOP=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUAVOX_SANITIZE=address -DQUAVOX_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	bash scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

bench: build
	./build/bench/DspBench

# Encoding and loudness times on five seconds of speech, and WAV against MP3 hits under wrk.
bench-formats: build
	./build/bench/EncodeBench
	bash bench/formats-wrk.sh build

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-fuzz
