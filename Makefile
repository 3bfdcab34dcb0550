# Two entry points for a newcomer:
#   make run   - install what is missing, build, and start Quennet
#   make test  - install what is missing, build, and run every test
#                (the core tests run a second time under ASan and UBSan)
#   make deb   - install what is missing, build, and pack a Debian package
#                (./quennet_<version>_<arch>.deb)
#   make windows, windows-test, windows-package - the same for 64-bit Windows
#                (see the README's Windows section)

BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs in `make fuzz`, and how many run at once.
FUZZ_SECONDS ?= 60
FUZZ_JOBS  ?= 1
# The static Qt for MinGW-w64 that tools/build-qt-mingw.sh builds once per
# machine, outside the clone.
QT_MINGW   ?= $(shell bash tools/build-qt-mingw.sh --print-prefix)
VERSION    := $(shell grep -m1 '^project' CMakeLists.txt | grep -o 'VERSION [0-9.]*' | cut -d' ' -f2)
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
# The builds that `make test` and `make windows-test` run treat a compiler
# warning as an error, so that a warning fails the checks.
WERROR     ?= -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
# The chip of the simulated board that `make run` starts: stm32, msp430 or none.
BOARD      ?= stm32

.PHONY: run test build deps clean deb windows windows-test windows-package fuzz fuzz-build fuzz-smoke

deps:
	@bash tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)
	cmake --build $(BUILD) -j$(JOBS)

# The board runs in the background while the window is open and is stopped
# when the window closes (or make is interrupted).
run: build
	@if [ "$(BOARD)" = none ]; then exec ./$(BUILD)/quennet; fi; \
	./$(BUILD)/quennet-board --chip $(BOARD) > $(BUILD)/board.out 2> $(BUILD)/board.log & \
	board=$$!; \
	trap 'kill $$board 2>/dev/null; wait $$board 2>/dev/null' EXIT INT TERM; \
	for i in 1 2 3 4 5 6 7 8 9 10; do [ -s $(BUILD)/board.out ] && break; sleep 0.1; done; \
	echo "Simulated $(BOARD) board on $$(head -n 1 $(BUILD)/board.out) (see README: A board without hardware)"; \
	./$(BUILD)/quennet

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUENNET_CORE_ONLY=ON -DQUENNET_SANITIZE=ON $(WERROR)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# The fuzz targets (fuzz/), built with clang and libFuzzer in a folder of
# their own; `make fuzz` runs each for FUZZ_SECONDS, `make fuzz-smoke` each
# for 30 s, two at a time (the CI's short run).
fuzz-build:
	@bash tools/install-deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENNET_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_all

fuzz: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_JOBS)

fuzz-smoke: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) 30 2

# The package is packed from the same build tree; install it with
# `sudo apt-get install ./quennet_*.deb`.
deb: build
	rm -rf $(BUILD)/deb
	cd $(BUILD) && cpack -G DEB -B "$(CURDIR)/$(BUILD)/deb"
	cp $(BUILD)/deb/quennet_*.deb .
	@ls -1 quennet_*.deb

# quennet.exe (the window), quennet-flash.exe and the tests for 64-bit
# Windows, cross-built with MinGW-w64 against the static Qt (built first when
# the machine has none). Both programs are single static executables.
windows:
	@bash tools/install-deps.sh windows
	bash tools/build-qt-mingw.sh
	@# A folder configured before the window was built for Windows starts afresh.
	@if [ -f $(WIN_BUILD)/CMakeCache.txt ] && ! grep -q qt.toolchain.cmake $(WIN_BUILD)/CMakeCache.txt; then \
	  echo "Reconfiguring $(WIN_BUILD) with the Qt toolchain"; rm -rf $(WIN_BUILD); fi
	$(QT_MINGW)/bin/qt-cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=Release -DQUENNET_CORE_ONLY=OFF $(WERROR) \
	  -DQT_CHAINLOAD_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake
	cmake --build $(WIN_BUILD) -j$(JOBS)

# The zip and the installer, copied here from the Windows build folder.
windows-package: windows
	cmake --build $(WIN_BUILD) --target windows_package
	cp $(WIN_BUILD)/quennet-$(VERSION)-win64.zip $(WIN_BUILD)/quennet-$(VERSION)-win64-setup.exe .
	@ls -1 quennet-$(VERSION)-win64.zip quennet-$(VERSION)-win64-setup.exe

# The Windows build's tests under wine, with the Linux board and pty far end
# of $(BUILD) on the other side of wine's COM ports: the core and window
# tests, the flasher, the window on a virtual X display, and the installer.
windows-test: deps windows-package
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS) --target quennet-board pty_far_end lrzsz_far_end
	bash tests/wine/wine-tests.sh $(BUILD) $(WIN_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)
