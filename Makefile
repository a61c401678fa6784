# Entry points for people; the work is done by CMake presets and the scripts/ folder.
.PHONY: all build format test test-agents test-asan test-tsan fuzz bench soak soak-hostile demo deps install dist clean

all: build

deps:
	@scripts/deps.sh

build: deps
	@cmake --preset linux >/dev/null
	cmake --build --preset linux

# The C++ sources as the pinned clang-format writes them (make test checks it).
format: deps
	scripts/format.sh

# Linux and Windows (cross-built, run under Wine).
test: deps
	scripts/test.sh

# talvane with the real Claude Code and Codex CLI in two sets, the pinned versions (tests/agents,
# installed with npm ci into build/agents) and the current releases (tests/agents/current, into
# build/agents-current), offline against mock model servers; then talvane.exe with their Windows
# builds under Wine (tests/agents/windows, build/agents-windows). Each part exits 77 when the npm
# registry (or, for the Windows part, Wine or mingw-w64) is missing; both parts always run.
test-agents: build
	@scripts/test_agents.py; linux=$$?; scripts/test_agents_windows.py; windows=$$?; \
	  for s in $$linux $$windows; do [ $$s -eq 0 ] || [ $$s -eq 77 ] || exit 1; done; \
	  [ $$linux -eq 0 ] || [ $$windows -eq 0 ] || exit 77

# The native suite, end-to-end tests included, under the sanitizers.
test-asan: deps
	scripts/sanitize.sh asan

test-tsan: deps
	scripts/sanitize.sh tsan

# Each libFuzzer target for a bounded time (FUZZ_SECONDS, default 60).
fuzz: deps
	scripts/fuzz.sh

# talvane against the direct run and script, one table; samples in build/bench/samples.json.
bench: build
	scripts/bench.py

# The launcher against a misbehaving stand-in app and a steady typist who also pastes at ssh
# speed (SOAK_SECONDS, default 60).
soak: build
	scripts/soak.py

# Peak memory and CPU against an app whose answers are hostile (HOSTILE_SECONDS per case, 10).
soak-hostile: build
	scripts/soak.py --hostile

# talvane in this terminal with a stand-in app that sends two voice replies, then ends the
# session (DEMO_AGENT=codex for the Codex form).
demo:
	@scripts/demo.sh

# talvane under PREFIX (default /usr/local); COMPONENT=standin installs the stand-in app instead.
PREFIX ?= /usr/local
install: build
	cmake --install build/linux --prefix "$(PREFIX)" $(if $(COMPONENT),--component $(COMPONENT))

# The release packages and SHA256SUMS in build/dist, built from fresh build trees, then checked.
dist: deps
	scripts/dist.sh

clean:
	rm -rf build
