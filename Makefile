# The two set-up commands: `make demo` renders audio through the plug-in, `make test`
# builds and runs the whole test suite. Both install missing Debian packages first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test install package clean

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

clean:
	rm -rf $(BUILD)
