// The voice clips in flash and the tables through which the announcement
// finds them: row i of the hour tables is the clip of hour i (0-23), row i
// of the minute tables the clip of minute i (0-59). Each clip is 8-bit
// unsigned PCM at 8000 samples/s, 0x80 the zero level, one byte per sample.
#pragma once

extern "C" {

extern const char* const Hxx_raw[24];  // first sample of each hour clip
extern const int Hxx_raw_size[24];     // its length in bytes (= samples)
extern const char* const Mxx_raw[60];
extern const int Mxx_raw_size[60];

}  // extern "C"
