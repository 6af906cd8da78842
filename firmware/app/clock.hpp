// Clock behaviour: the 1 ms tick callback with its counters, and the clock
// logic the main loop runs once per tick.
#pragma once
#include <cstdint>

extern "C" {

// Tick counters, written by callback_SysTick in the SysTick interrupt and
// read (and partly written) by the main loop: single aligned 32-bit words.
extern volatile std::uint32_t CNT_tick;   // ticks since SysTick started; wraps
extern volatile std::uint32_t UPD_tick;   // all ones on every tick; main loop clears bit 0
extern volatile std::uint32_t TO_tick[4]; // countdown timers in ms, stop at 0
extern volatile std::int32_t BTN_stat;    // button held (>= 0) / released (< 0) time in ms

// Five-minute mode (1 = speak the time every five minutes) and the one-shot
// request to speak at the next pass when no announcement is in progress.
extern std::uint8_t ten_min_flag;
extern std::uint8_t ten_min_announce;

// Runs in the SysTick interrupt on every tick.
void callback_SysTick(void);
// Clock logic; main loop, at most once per tick: the announcement
// sequencer, the change of minute (chime, five-minute request), the beeper
// switch-off, LED_display and userBTN_task.
void ticked_loop(void);
// LEDs: channel 1 running, 2 button held, 3 RTC not on LSE, 4 five-minute
// mode; all lit ones breathe together. Main loop.
void LED_display(void);
// Button gestures from BTN_stat. Main loop.
void userBTN_task(void);
// Starts speaking the current time (restarts one in progress). Main loop.
void announce(void);
// Plays the clip of hour wav_name (hour_flag != 0) or minute wav_name.
void begin_WAV(unsigned char wav_name, unsigned char hour_flag);
// Cuts the clip in progress; the output keeps its last value.
void end_WAV(void);

}  // extern "C"
