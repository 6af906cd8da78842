# Talking clock: firmware image, virtual board and tests.
#   make        build everything into build/
#   make run    boot the clock on the virtual board
#   make test   build and run every test
#   make debug  boot the clock halted, waiting for GDB on port 3333
#   make bench  virtual-board benchmark
#   make flash  write the image to a real board (st-flash or openocd, if installed)
#   make clean  remove build/

BUILD   ?= build
ELF     := $(BUILD)/firmware/talking-clock.elf
VBOARD  := $(BUILD)/sim/vboard
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all bootstrap configure run debug test bench flash clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

bootstrap:
	@scripts/bootstrap $(BUILD)

# Configures once, and again when bootstrap has unpacked a newer engine.
configure: bootstrap
	@if [ ! -f $(BUILD)/build.ninja ] || [ $(BUILD)/engine/ready -nt $(BUILD)/build.ninja ]; then \
	  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo; fi

RUN_WAV := $(BUILD)/run-audio.wav
WEB_PORT ?= 8080

run: all
	@echo "make run: the audio output is recorded into $(RUN_WAV); the front panel is served to browsers (URL below)"
	$(VBOARD) --wav $(RUN_WAV) --trace --web $(WEB_PORT) $(VBOARD_ARGS) $(ELF)

GDB_PORT ?= 3333

debug: all
	@echo "make debug: the audio output is recorded into $(RUN_WAV)"
	@echo "make debug: the board waits halted at the reset vector; in another terminal run:"
	@echo "  gdb-multiarch $(ELF) -ex 'target extended-remote :$(GDB_PORT)'"
	$(VBOARD) --gdb $(GDB_PORT) --wav $(RUN_WAV) $(VBOARD_ARGS) $(ELF)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: all
	$(BUILD)/tools/vboard_bench $(ELF)

flash: all
	@if command -v st-flash >/dev/null 2>&1; then \
	  st-flash --reset write $(BUILD)/firmware/talking-clock.bin 0x08000000; \
	elif command -v openocd >/dev/null 2>&1; then \
	  openocd -f interface/stlink.cfg -f target/stm32f4x.cfg -c "program $(ELF) verify reset exit"; \
	else \
	  echo "make flash: neither st-flash nor openocd is installed (apt-get install stlink-tools or openocd)" >&2; exit 1; \
	fi

clean:
	rm -rf $(BUILD)
