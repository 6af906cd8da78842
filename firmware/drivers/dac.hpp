// Voice playback: DAC channel 1 on PA4 fed by DMA1 stream 1 (channel 7, the
// TIM6 update request) at 8000 samples/s, and TIM8 channel 2 as the 12 MHz
// master clock of the external audio DAC on PC7. Playback needs no
// interrupt: the stream stops by itself when its count runs out.
#pragma once
#include <cstdint>

extern "C" {

// DAC channel 1 on, PA4 analog, then setup_TIM6. Once at start-up, after
// the DMA1 clock is on.
void setup_DAC1(void);
// TIM6 counting 8000 update events (DMA requests) per second from its
// 72 MHz APB1 timer clock. Called by setup_DAC1.
void setup_TIM6(void);
// Stops any clip; when num is not 0, plays num bytes from data (any byte
// address), one per TIM6 update, into the DAC's 8-bit data register.
void start_DAC1_DMA(void* data, std::uint16_t num);
// The public entry: start_DAC1_DMA(data, num).
void start_DAC1(void* data, std::uint16_t num);
// Stops any clip and sets the output to 0x7F.
void stop_DAC1(void);
// 12 MHz square wave on PC7 (TIM8 channel 2 toggling). Once at start-up,
// after setup_DAC1 and before the audio DAC is configured.
void setup_TIM8(void);

}  // extern "C"
