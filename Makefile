# The two set-up commands: `make demo` renders audio through the plug-in, `make test`
# builds and runs the whole test suite. Both install missing Debian packages first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test install package clean test-sanitize \
  deps-aarch64 aarch64 test-aarch64 package-aarch64

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

install: build
	cmake --install $(BUILD)

# The Debian package (CPack): $(BUILD)/vellum-grist-saturator_VERSION_amd64.deb
package: build
	cmake --build $(BUILD) --target package

demo: install
	sh scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again in a second tree where every target is built with AddressSanitizer
# and UndefinedBehaviorSanitizer (cmake -DVGS_SANITIZE=ON). Every report, also from the
# programs the tests start, goes to a file under sanitizer-reports/: any file there fails
# the run. Left out are the tests whose hosts cannot take a sanitized library or program
# (labels in SANITIZE_LEFT_OUT; the README lists them). Leaks inside the system's cairo
# are suppressed by cmake/lsan_suppressions.txt, which needs the full stacks that the slow
# unwinder gives (cairo keeps no frame pointers).
SANITIZE_BUILD ?= build-sanitize
SANITIZE_LEFT_OUT = ^(ardour|ardour-lv2|ardour_gui|jalv|lv2apply|package|outside|valgrind)$$
SANITIZE_REPORTS = $(abspath $(SANITIZE_BUILD))/sanitizer-reports

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Release -DVGS_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	cd $(SANITIZE_BUILD) && \
	  ASAN_OPTIONS=log_path=$(SANITIZE_REPORTS)/asan:detect_leaks=1:strict_string_checks=1:fast_unwind_on_malloc=0 \
	  LSAN_OPTIONS=suppressions=$(abspath cmake/lsan_suppressions.txt):print_suppressions=0 \
	  UBSAN_OPTIONS=log_path=$(SANITIZE_REPORTS)/ubsan:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE '$(SANITIZE_LEFT_OUT)'; status=$$?; \
	if [ -n "$$(ls -A $(SANITIZE_REPORTS))" ]; then cat $(SANITIZE_REPORTS)/*; \
	  echo "sanitizer findings: see $(SANITIZE_REPORTS)"; exit 1; fi; \
	echo "sanitizers: 0 findings"; exit $$status

# The 64-bit ARM edition, cross-built with Debian's aarch64 toolchain and arm64 libraries
# (cmake/aarch64-linux-gnu.cmake) into build-aarch64/: both bundles, middleman and
# vgs-host. Its tests (label "aarch64") run here under qemu-user and compare its renders,
# states and Debian's arm64 lv2apply with the x86-64 tree's, bit for bit.
AARCH64_BUILD ?= build-aarch64

deps-aarch64:
	@sh scripts/install-deps.sh aarch64

aarch64: deps-aarch64
	cmake -S . -B $(AARCH64_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/aarch64-linux-gnu.cmake) \
	  -DVGS_NATIVE_BUILD=$(abspath $(BUILD))
	cmake --build $(AARCH64_BUILD) -j $(JOBS)

test-aarch64: build aarch64
	cd $(AARCH64_BUILD) && ctest --output-on-failure -j $(JOBS) -L aarch64

# The arm64 Debian package: $(AARCH64_BUILD)/vellum-grist-saturator_VERSION_arm64.deb
package-aarch64: aarch64
	cd $(AARCH64_BUILD) && DEB_HOST_ARCH=arm64 cmake --build . --target package

clean:
	rm -rf $(BUILD)
