// Clock behaviour. The tick callback counts time for the main loop: the tick
// count, the flag that lets the clock logic run once per tick, the countdown
// timers and the button's held/released time.
#include "app/clock.hpp"

#include "app/voice.hpp"
#include "drivers/beeper.hpp"
#include "drivers/dac.hpp"
#include "drivers/leds.hpp"
#include "drivers/rtc.hpp"
#include "mcu/gpio.hpp"
#include "mcu/rcc.hpp"

extern "C" {

alignas(4) volatile std::uint32_t CNT_tick = 0;
alignas(4) volatile std::uint32_t UPD_tick = 0;
alignas(4) volatile std::uint32_t TO_tick[4] = {};
alignas(4) volatile std::int32_t BTN_stat = 0;

namespace {

constexpr std::int32_t kButtonLimit = 32000;  // ms; the counter saturates here

// One 1 ms sample of the button: counts up from 0 while pressed, down from
// -1 while released, both saturating.
std::int32_t next_button_count(std::int32_t stat, bool pressed) {
  if (pressed) {
    if (stat < 0) return 0;
    return stat < kButtonLimit ? stat + 1 : stat;
  }
  if (stat >= 0) return -1;
  return stat > -kButtonLimit ? stat - 1 : stat;
}

}  // namespace

// SysTick interrupt, every 1 ms.
void callback_SysTick(void) {
  CNT_tick = CNT_tick + 1;
  UPD_tick = 0xFFFFFFFFu;
  for (auto& t : TO_tick)
    if (t != 0) t = t - 1;
  const bool pressed = (GPIOA->IDR & 1u) != 0;  // PA0 high while the button is held
  BTN_stat = next_button_count(BTN_stat, pressed);
}

std::uint8_t ten_min_flag = 1;       // five-minute mode on at start-up
std::uint8_t ten_min_announce = 1;   // the time is spoken once at start-up
rtc_tm antime = {};                  // the time being spoken (hour and minute used)
int prev_min = -1;                   // the first pass always sees a change of minute
std::int32_t prev_BTN_stat = 0;      // the button value handled by the last pass
unsigned char valid_on = 0;          // the last press that reached 30 ms ended before 300 ms
unsigned char valid_off = 0;         // ... and the pause after it reached 30 ms, not yet 300 ms

}  // extern "C"

namespace {

// Announcement sequencer on TO_tick[0]: the hour clip starts in the first
// pass after announce(), the minute clip 1800 ms later, and the countdown
// ends the announcement 2900 ms after that.
constexpr std::uint32_t kAnnounceStart = 5000;
constexpr std::uint32_t kHourMark = 4900;      // above: the hour clip is due
constexpr std::uint32_t kHourPhase = 4800;
constexpr std::uint32_t kMinuteMark = 3000;    // the minute clip is due
constexpr std::uint32_t kMinutePhase = 2900;
static_assert(kHourPhase - kMinuteMark == 1800);

// Beeper: the chime every ten minutes, longer at the full hour, and the
// click of a press. On-times count down in TO_tick[2]; the beeper goes off
// in the pass that sees 1, so it sounds one millisecond less.
constexpr std::uint32_t kChimeHz = 1000, kChimeMs = 100, kFullHourExtraMs = 150;
constexpr std::uint32_t kClickHz = 4000, kClickMs = 50;
constexpr std::uint32_t kBeeperDuty = 50;

// LEDs: a sawtooth from 10 to 100 percent over 512 ms at 5000 Hz.
constexpr std::uint32_t kLedHz = 5000;
constexpr std::int32_t kHeldLedMs = 200;
constexpr std::uint32_t kLedRunning = 1, kLedHeld = 2, kLedNotLse = 4, kLedMode = 8;

// Gesture marks in BTN_stat (ms held >= 0, ms released < 0).
constexpr std::int32_t kValidOn = 30, kClick = 50, kSpeak = 120, kLongPress = 300;
constexpr std::int32_t kValidOff = -30, kPauseOver = -300;

// The minute clip of the announcement in progress has not started yet. A
// pass that comes late (the loop held by a full transmit ring) may jump
// over the exact 3000 ms mark; the minute clip then starts in that pass.
bool minute_clip_due = false;
// CNT_tick when the last pass took BTN_stat; none before the first.
std::uint32_t btn_tick = 0;
bool btn_seen = false;
// The chime or click is sounding; likewise it is switched off by a late
// pass that finds its countdown already below 1.
bool beeper_timed = false;

void beep(std::uint32_t freq, std::uint32_t on_ms) {
  set_TIM10_pwm(freq, kBeeperDuty);
  TO_tick[2] = on_ms;
  beeper_timed = true;
}

void beeper_off() {
  set_TIM10_pwm(0, 0);
  beeper_timed = false;
}

void announcement_step() {
  const std::uint32_t left = TO_tick[0];
  if (left > kHourMark) {
    TO_tick[0] = kHourPhase;
    begin_WAV(static_cast<unsigned char>(antime.tm_hour), 1);
  } else if (minute_clip_due && left != 0 && left <= kMinuteMark) {
    TO_tick[0] = kMinutePhase;
    minute_clip_due = false;
    begin_WAV(static_cast<unsigned char>(antime.tm_min), 0);
  }
}

void minute_changed(int minute) {
  prev_min = minute;
  if (minute % 10 == 0) {
    beep(kChimeHz, kChimeMs);
    if (minute == 0) TO_tick[2] = TO_tick[2] + kFullHourExtraMs;
  }
  if (ten_min_flag != 0 && minute % 5 == 0) ten_min_announce = 1;
}

// What a gesture mark does when the button count reaches it.
void button_mark(std::int32_t mark) {
  switch (mark) {
    case kValidOn: valid_on = 1; break;
    case kClick:
      beep(kClickHz, kClickMs);
      stop_DAC1();  // silences a clip in progress
      break;
    case kSpeak:
      beeper_off();
      ten_min_flag = valid_off != 0 ? 1 : 0;
      announce();
      break;
    case kLongPress: valid_on = 0; break;
    case kValidOff:
      if (valid_on != 0) valid_off = 1;
      break;
    case kPauseOver: valid_off = 0; break;
    default: break;
  }
}

// The marks in the order a press or a pause reaches them.
constexpr std::int32_t kPressMarks[] = {kValidOn, kClick, kSpeak, kLongPress};
constexpr std::int32_t kPauseMarks[] = {kValidOff, kPauseOver};

// The button count moves `ticks` steps from `from`, up while pressed and
// down while released: acts on every mark it reaches on the way, in order.
// A press starts from -1 (its first tick counts 0), a pause from 0.
void button_stretch(std::int32_t from, bool pressed, std::uint32_t ticks) {
  const std::int64_t to = pressed ? std::int64_t{from} + ticks : std::int64_t{from} - ticks;
  if (pressed) {
    for (std::int32_t mark : kPressMarks)
      if (mark > from && mark <= to) button_mark(mark);
  } else {
    for (std::int32_t mark : kPauseMarks)
      if (mark < from && mark >= to) button_mark(mark);
  }
}

// Ticks the press or pause that BTN_stat now counts has lasted.
std::uint32_t final_stretch(std::int32_t stat) {
  return stat >= 0 ? static_cast<std::uint32_t>(stat) + 1 : static_cast<std::uint32_t>(-stat);
}

// The button went from count `prev` to `stat` in `elapsed` ticks since the
// last pass. A pass on time sees every count; a late one (a time setting's
// pause, a full console ring) jumps over some, and the ticks tell how the
// stretch split: the press or pause of the last pass went on for the ticks
// that the present one has not counted. Between two passes the button is
// taken to have changed at most twice.
void follow_button(std::int32_t prev, std::int32_t stat, std::uint32_t elapsed) {
  const bool was_pressed = prev >= 0, pressed = stat >= 0;
  const std::uint32_t last = final_stretch(stat);
  const std::uint32_t before = elapsed > last ? elapsed - last : 0;
  if (pressed == was_pressed && (pressed ? stat > prev : stat < prev)) {
    button_stretch(prev, pressed, static_cast<std::uint32_t>(pressed ? stat - prev : prev - stat));
    return;
  }
  if (pressed != was_pressed) {
    button_stretch(prev, was_pressed, before);  // the last pass's press or pause ran on
  } else {
    button_stretch(was_pressed ? 0 : -1, !was_pressed, before);  // ended at once; a whole opposite stretch
  }
  button_stretch(pressed ? -1 : 0, pressed, last);
}

}  // namespace

extern "C" {

void begin_WAV(unsigned char wav_name, unsigned char hour_flag) {
  const char* start = hour_flag ? Hxx_raw[wav_name] : Mxx_raw[wav_name];
  const int size = hour_flag ? Hxx_raw_size[wav_name] : Mxx_raw_size[wav_name];
  start_DAC1(const_cast<char*>(start), static_cast<std::uint16_t>(size));
}

void end_WAV(void) { start_DAC1(nullptr, 0); }

void announce(void) {
  end_WAV();
  TO_tick[0] = kAnnounceStart;
  minute_clip_due = true;
  RTC_getlocaltime(&antime);
  if (antime.tm_sec > 50) antime.tm_min += 1;  // 51-59 s speak the next minute
  if (antime.tm_min > 59) {
    antime.tm_min = 0;
    antime.tm_hour += 1;
  }
  if (antime.tm_hour > 23) antime.tm_hour = 0;  // the date is not touched
}

void LED_display(void) {
  std::uint32_t flg = kLedRunning;
  if (BTN_stat > kHeldLedMs) flg |= kLedHeld;
  if ((RCC->BDCR & RCC_BDCR_RTCSEL) != RCC_BDCR_RTCSEL_LSE) flg |= kLedNotLse;
  if (ten_min_flag != 0) flg |= kLedMode;
  const std::uint32_t duty = ((CNT_tick & 0x1FFu) * 90u) / 511u + 10u;
  set_TIM4_pwm(kLedHz, duty, flg);
}

void userBTN_task(void) {
  // CNT_tick and BTN_stat of the same tick: read again when a tick came in
  // between.
  std::uint32_t tick;
  std::int32_t stat;
  do {
    tick = CNT_tick;
    stat = BTN_stat;
  } while (tick != CNT_tick);
  if (stat == prev_BTN_stat) return;
  follow_button(prev_BTN_stat, stat, btn_seen ? tick - btn_tick : final_stretch(stat));
  prev_BTN_stat = stat;
  btn_tick = tick;
  btn_seen = true;
}

void ticked_loop(void) {
  rtc_tm now = {};
  RTC_getlocaltime(&now);
  announcement_step();
  if (now.tm_min != prev_min) minute_changed(now.tm_min);
  if (beeper_timed && TO_tick[2] <= 1) beeper_off();
  if (ten_min_announce != 0) {
    ten_min_announce = 0;
    if (TO_tick[0] == 0) announce();  // a request during an announcement is dropped
  }
  LED_display();
  userBTN_task();
}

}  // extern "C"
