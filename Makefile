# Entry points of the project. Every target installs what it needs first (`deps`),
# so a fresh Debian 12 or 13 machine needs nothing but `make`. The build uses Debian's
# interpreter and packages (PYTHON), whichever python3 and cmake come first on PATH.

PYTHON      ?= /usr/bin/python3
BUILD_DIR   ?= build
JOBS        ?= $(shell nproc)
CMAKE_FLAGS ?=
VIDEO       ?=

# Debian packages the build, the tests, the demo and the benchmarks use; the same names on
# Debian 12 and 13. Debian 13 also has what `pip install --no-build-isolation .` needs
# (scikit-build-core, pybind11 >= 2.12); Debian 12 has neither, and builds wheels from PyPI.
DEB_PACKAGES := cmake g++ make pkg-config binutils libopencv-dev python3-opencv python3-numpy \
                python3-loguru pybind11-dev python3-pybind11 python3-dev python3-pytest \
                libgtest-dev python3-matplotlib \
                python3-venv python3-mypy python3-hypothesis \
                ffmpeg python3-av
DEBIAN_MAJOR := $(shell cut -d. -f1 /etc/debian_version 2>/dev/null)
ifneq ($(DEBIAN_MAJOR),12)
DEB_PACKAGES += python3-scikit-build-core
endif

.PHONY: all deps build test stress sanitize demo bench matrix wheel wheel-test fuzz clean

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "Missing packages. Run: sudo apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DPython_EXECUTABLE=$(PYTHON) -DCORVANE_WERROR=ON $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure

# Long versions of the reliability tests (minutes): the same tests at full size.
stress: build
	cd tests/stress && CORVANE_STRESS=1 PYTHONPATH=$(abspath $(BUILD_DIR))/python \
	  $(PYTHON) -m pytest -q -p no:cacheprovider -rxX --durations=10 .

# The core's tests under ThreadSanitizer, then under AddressSanitizer with UBSan.
sanitize: deps
	cmake -S . -B $(BUILD_DIR)-tsan -DCORVANE_SANITIZE=thread -DCORVANE_BUILD_PYTHON=OFF
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS)
	cd $(BUILD_DIR)-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure
	cmake -S . -B $(BUILD_DIR)-asan -DCORVANE_SANITIZE=address -DCORVANE_BUILD_PYTHON=OFF
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	cd $(BUILD_DIR)-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" ctest --output-on-failure

demo: build
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) examples/demo.py $(if $(VIDEO),--video "$(VIDEO)")

# The readers compared with the capture live in their own environment, made on first use;
# the capture with its bundled decoder in another, from the wheel `make wheel` leaves in
# BENCH_WHEELHOUSE (measured where one exists for PYTHON's version).
BENCH_WHEELHOUSE ?= build-wheel/wheelhouse
bench: build
	sh bench/make_venv.sh $(BUILD_DIR)/bench-venv $(PYTHON)
	sh bench/make_venv.sh $(BUILD_DIR)/bench-venv-bundled $(PYTHON) $(BENCH_WHEELHOUSE)
	CORVANE_BENCH_VENV=$(abspath $(BUILD_DIR))/bench-venv \
	  CORVANE_BUNDLED_VENV=$(abspath $(BUILD_DIR))/bench-venv-bundled \
	  PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) bench/run_all.py

# The test suite in every environment users run (tests/python/packaging/matrix.py): Debian's
# interpreter and packages, a plain virtual environment of each CPython 3.9-3.13 under pyenv
# with numpy and OpenCV wheels from PyPI, numpy 1.26 with an OpenCV 4.x wheel. Needs PyPI; tens
# of minutes. The table for docs/installing.md lands in $(BUILD_DIR)-matrix/results.md.
matrix: build
	$(PYTHON) tests/python/packaging/matrix.py --build-dir $(BUILD_DIR) --out $(BUILD_DIR)-matrix

# Binary wheels with the bundled decoder (a static OpenCV and LGPL FFmpeg from pinned sources,
# decoder/manifest.env) compiled by zig from PyPI for glibc 2.17 and tagged manylinux_2_17 by
# auditwheel: one per CPython of WHEEL_VERSIONS for each architecture of WHEEL_ARCHS, aarch64
# cross-compiled here. That is 12 wheels: cp39-cp315 for x86_64, and cp39, cp311, cp313, cp314,
# cp315 for aarch64 (Debian has no CPython 3.10 or 3.12 for arm64, so aarch64 has no cp310 or
# cp312). Each is compiled against its own CPython's headers for its architecture: pyenv's for
# x86-64 3.9-3.13, Debian's python3.X-dev for the others (sid's 3.14 and 3.15; for arm64
# bullseye's 3.9, bookworm's 3.11, trixie's 3.13), unpacked into build-wheel/python. The decoder
# is built once per architecture into DECODER_DIR (40 minutes or more on 2 busy cores each) and
# reused while its sources, scripts and compilers stay the same. Needs Debian's and PyPI's
# registries. Wheels land in build-wheel/wheelhouse; quick checks follow: the x86-64 wheel of
# PYTHON, and the aarch64 cp311 wheel under qemu in an arm64 Debian 12 root (build-wheel/qemu).
# A subset: make wheel WHEEL_ARCHS=aarch64 WHEEL_VERSIONS="3.11 3.14".
DECODER_DIR    ?= build-decoder
WHEEL_ARCHS    ?= x86_64 aarch64
WHEEL_VERSIONS ?= 3.9 3.10 3.11 3.12 3.13 3.14 3.15
# Debian 12's static user-mode emulator; from Debian 13 on qemu-user is static itself.
WHEEL_QEMU     := $(if $(filter 12,$(DEBIAN_MAJOR)),qemu-user-static,qemu-user)
wheel: DEB_PACKAGES += dpkg-dev nasm patch $(if $(filter aarch64,$(WHEEL_ARCHS)),$(WHEEL_QEMU))
wheel: deps
	PYTHON=$(PYTHON) JOBS=$(JOBS) WHEEL_ARCHS="$(WHEEL_ARCHS)" WHEEL_VERSIONS="$(WHEEL_VERSIONS)" \
	  sh decoder/wheels.sh $(DECODER_DIR) build-wheel
	PYTHON=$(PYTHON) sh decoder/smoke.sh build-wheel
	$(if $(filter aarch64,$(WHEEL_ARCHS)),PYTHON=$(PYTHON) sh decoder/smoke_qemu.sh build-wheel 3.11)

# Each binary wheel in WHEELHOUSE, installed where the build machine cannot help it: checked
# against manylinux's library list and its tag's machine by readelf (aarch64 too), then in a
# clean virtual environment of its CPython under pyenv with the system's OpenCV, FFmpeg and
# compilers hidden, and in a minimal Debian root whose own Python is the wheel's: Debian 11 for
# cp39, sid for cp314/cp315; aarch64 wheels in arm64 roots (Debian 11, 12, 13, sid) under
# qemu's static user-mode emulator, registered with binfmt_misc for those cells only, running
# a subset of the suite. debootstrap makes each root once, kept in the output folder's roots/.
# Needs root, Debian's registry and PyPI; tens of minutes, and the arm64 roots take longer the
# first time. WHEEL_TEST_ARGS limits a run (--only cp314 --arch aarch64 ...); --check-roots
# makes and checks the roots alone. The table for docs/installing.md lands in
# $(BUILD_DIR)-wheel-test/results.md. The emulator is the wheel target's WHEEL_QEMU (on Debian
# 13, qemu-user-static is a transitional package that also registers every format at boot).
WHEELHOUSE ?= build-wheel/wheelhouse
WHEEL_TEST_ARGS ?=
wheel-test: DEB_PACKAGES += debootstrap $(WHEEL_QEMU)
wheel-test: deps
	$(PYTHON) tests/python/packaging/wheel_test.py --wheelhouse $(WHEELHOUSE) \
	  --out $(BUILD_DIR)-wheel-test $(WHEEL_TEST_ARGS)

# The decoding fuzzer (fuzz/decode_fuzzer.cpp): the capture's source over the bundled decoder,
# both built by clang with AddressSanitizer and UBSan into FUZZ_DIR (the instrumented decoder
# once, about as long as the wheel's), seeded with the frame-conformance clips in every container
# the decoder reads, run for FUZZ_SECONDS in FUZZ_JOBS processes. Corpus and findings are kept in
# FUZZ_DIR/run. Needs Debian's and PyPI's registries.
FUZZ_DIR     ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_JOBS    ?= 1
fuzz: DEB_PACKAGES += clang llvm dpkg-dev nasm patch
fuzz: deps
	sh fuzz/deps.sh
	sh fuzz/toolchain.sh $(FUZZ_DIR)/toolchain
	cmake -S . -B $(FUZZ_DIR)/cmake -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_COMPILER=$(abspath $(FUZZ_DIR))/toolchain/cc \
	  -DCMAKE_CXX_COMPILER=$(abspath $(FUZZ_DIR))/toolchain/c++ \
	  -DCMAKE_AR=$(abspath $(FUZZ_DIR))/toolchain/ar -DCMAKE_RANLIB=$(abspath $(FUZZ_DIR))/toolchain/ranlib \
	  -DCORVANE_DECODER=bundled -DCORVANE_DECODER_CACHE=$(abspath $(FUZZ_DIR))/decoder \
	  -DCORVANE_FUZZ=ON -DCORVANE_BUILD_PYTHON=OFF -DCORVANE_BUILD_TESTS=OFF -DCORVANE_WERROR=ON
	cmake --build $(FUZZ_DIR)/cmake -j $(JOBS) --target decode_fuzzer
	$(PYTHON) fuzz/make_seeds.py $(FUZZ_DIR)
	sh fuzz/run.sh $(FUZZ_DIR)/cmake/fuzz/decode_fuzzer $(FUZZ_DIR)/seeds $(FUZZ_DIR)/run \
	  $(FUZZ_SECONDS) $(FUZZ_JOBS)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-tsan $(BUILD_DIR)-asan $(BUILD_DIR)-matrix \
	  $(BUILD_DIR)-wheel-test
