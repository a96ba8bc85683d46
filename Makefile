# make demo  : set up everything that is missing, then make demo/short.mp4 offline
# make serve : set up everything that is missing, then serve on HOST:PORT
#              (default 127.0.0.1:8000; e.g. make serve PORT=9000)
# make test  : set up everything that is missing, then the C++ tests and pytest
# make bench : benchmarks, each printed as a ratio against a baseline of the same run
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build/cmake
# One compile job per core of this machine.
export CMAKE_BUILD_PARALLEL_LEVEL ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup system-deps install serve demo test test-cpp test-py bench format clean

all: install

# C libraries, programs and fonts come from the system's packages (installed when we are root):
# ffmpeg (thumbnails, renders), GoogleTest, espeak-ng (offline voice and aligner), LAME (MP3),
# libavformat/libavcodec (decoding voice-overs), the fonts the caption templates name and
# fontconfig with FreeType (which of them are installed, how libass sizes them).
SYSTEM_PACKAGES := ffmpeg libgtest-dev pkg-config libespeak-ng-dev espeak-ng-data \
  libmp3lame-dev libavformat-dev libavcodec-dev libavutil-dev libswresample-dev \
  fonts-open-sans fonts-roboto-unhinted fonts-noto-core fontconfig libfontconfig-dev libfreetype-dev \
  chromium chromium-driver

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
	$(VPY) -m pip install --progress-bar on --upgrade pip

# Build tools first: the package is built without isolation, in the fixed build folder.
$(VENV)/.build-tools: $(VENV)/bin/python
	$(VPY) -m pip install --progress-bar on "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	touch $@

install: system-deps $(VENV)/.build-tools
	$(VPY) -m pip install --progress-bar on --no-build-isolation -e ".[audio,tts,test,export]" \
	  -Ccmake.define.VESTREL_TESTS=$$([ -f /usr/include/gtest/gtest.h ] && echo ON || echo OFF)

setup: install

serve: install
	$(VPY) -m vestrel serve --host $(or $(HOST),127.0.0.1) --port $(or $(PORT),8000) $(if $(TOKEN),--token $(TOKEN)) $(foreach h,$(ALLOWED_HOSTS),--allowed-host $(h))

# The demo's media, made with ffmpeg once: three slowly moving colour fields (15 s each, so
# every scene's background outlasts its scene) and a quiet chord as music.
DEMO_MEDIA := examples/media
FFGEN := ffmpeg -v error -y -f lavfi
GRADIENT = gradients=size=540x960:rate=30:duration=15:speed=0.01:nb_colors=3
# $(call demo_video,C0,C1,C2): a slowly moving three-colour gradient as background video $@.
demo_video = mkdir -p $(@D) && $(FFGEN) -i "$(GRADIENT):c0=$(1):c1=$(2):c2=$(3)" \
  -c:v libx264 -preset veryfast -crf 26 -pix_fmt yuv420p $@
$(DEMO_MEDIA)/morgen.mp4:
	$(call demo_video,0xf4a261,0xe76f51,0x264653)
$(DEMO_MEDIA)/wasser.mp4:
	$(call demo_video,0x1d3557,0x457b9d,0xa8dadc)
$(DEMO_MEDIA)/licht.mp4:
	$(call demo_video,0xffd166,0x06d6a0,0x118ab2)
$(DEMO_MEDIA)/musik.mp3:
	@mkdir -p $(@D)
	$(FFGEN) -i "aevalsrc=0.10*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*0.25*t))+0.06*sin(2*PI*277.18*t)+0.06*sin(2*PI*329.63*t):s=44100:d=45" \
	  -ac 2 -b:a 128k $@

# One short made offline (offline voice, built-in aligner, simulator) into demo/short.mp4,
# with its own media library under demo/ (the user's library is not touched).
demo: install $(DEMO_MEDIA)/morgen.mp4 $(DEMO_MEDIA)/wasser.mp4 $(DEMO_MEDIA)/licht.mp4 \
      $(DEMO_MEDIA)/musik.mp3
	@mkdir -p demo
	XDG_DATA_HOME=$(CURDIR)/demo/data XDG_CACHE_HOME=$(CURDIR)/demo/cache \
	  $(VPY) -m vestrel generate examples/demo.json -o demo/short.mp4 --resolve sim
	@echo "The video is in demo/short.mp4"

test-cpp: install
	@if [ -f $(BUILD)/CTestTestfile.cmake ]; then \
	  $(VPY) -m cmake --version >/dev/null 2>&1; \
	  $(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure; \
	else echo "C++ tests not built (GoogleTest missing)"; fi

# make test-py T=captions : only that module's tests (tests/python/test_captions*.py);
# make test-py FAST=1     : without the tests marked slow (time-outs, whole renders)
test-py: install
	$(VPY) -m pytest -q $(if $(FAST),-m "not slow") \
	  $(if $(T),$(or $(wildcard tests/python/test_$(T)*.py),$(error no tests/python/test_$(T)*.py)),tests/python)

test: test-cpp test-py

bench: install
	$(VPY) -m pip install -q --no-build-isolation -e ".[audio,tts,test,export,bench]" \
	  -Ccmake.define.VESTREL_TESTS=$$([ -f /usr/include/gtest/gtest.h ] && echo ON || echo OFF)
	$(VPY) bench/run.py

format:
	clang-format -i $$(find src tests/core -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build

# make fuzz : a bounded schemathesis run over /openapi.json of `python -m vestrel serve` on
#             loopback, with the test fakes and loopback service URLs (FUZZ_EXAMPLES per route)
.PHONY: fuzz
FUZZ_EXAMPLES ?= 100
fuzz: install
	@$(VPY) -c "import schemathesis" 2>/dev/null || $(VPY) -m pip install --progress-bar on \
	  --no-build-isolation -e ".[audio,tts,test,fuzz]" \
	  -Ccmake.define.VESTREL_TESTS=$$([ -f /usr/include/gtest/gtest.h ] && echo ON || echo OFF)
	$(VPY) tests/fuzz/run_fuzz.py --max-examples $(FUZZ_EXAMPLES) --time-limit 900
