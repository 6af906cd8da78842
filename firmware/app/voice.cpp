// The clip tables. The build links each data/Xnn.raw into flash as a binary
// object that defines _binary_data_Xnn_raw_start (the first byte) and
// _binary_data_Xnn_raw_size (an absolute symbol whose address is the byte
// count), so every entry is a link-time constant: the tables sit in flash
// and need no start-up work.
#include "app/voice.hpp"

#include <cstdint>

#define HOUR_CLIPS(X) \
    X(H00) X(H01) X(H02) X(H03) X(H04) X(H05) \
    X(H06) X(H07) X(H08) X(H09) X(H10) X(H11) \
    X(H12) X(H13) X(H14) X(H15) X(H16) X(H17) \
    X(H18) X(H19) X(H20) X(H21) X(H22) X(H23)
#define MINUTE_CLIPS(X) \
    X(M00) X(M01) X(M02) X(M03) X(M04) X(M05) \
    X(M06) X(M07) X(M08) X(M09) X(M10) X(M11) \
    X(M12) X(M13) X(M14) X(M15) X(M16) X(M17) \
    X(M18) X(M19) X(M20) X(M21) X(M22) X(M23) \
    X(M24) X(M25) X(M26) X(M27) X(M28) X(M29) \
    X(M30) X(M31) X(M32) X(M33) X(M34) X(M35) \
    X(M36) X(M37) X(M38) X(M39) X(M40) X(M41) \
    X(M42) X(M43) X(M44) X(M45) X(M46) X(M47) \
    X(M48) X(M49) X(M50) X(M51) X(M52) X(M53) \
    X(M54) X(M55) X(M56) X(M57) X(M58) X(M59)

#define DECLARE_CLIP(n) \
  extern const char _binary_data_##n##_raw_start[]; \
  extern const char _binary_data_##n##_raw_size[];
#define CLIP_START(n) _binary_data_##n##_raw_start,
#define CLIP_SIZE(n) static_cast<int>(reinterpret_cast<std::uintptr_t>(_binary_data_##n##_raw_size)),

extern "C" {

HOUR_CLIPS(DECLARE_CLIP)
MINUTE_CLIPS(DECLARE_CLIP)

const char* const Hxx_raw[24] = {HOUR_CLIPS(CLIP_START)};
const int Hxx_raw_size[24] = {HOUR_CLIPS(CLIP_SIZE)};
const char* const Mxx_raw[60] = {MINUTE_CLIPS(CLIP_START)};
const int Mxx_raw_size[60] = {MINUTE_CLIPS(CLIP_SIZE)};

}  // extern "C"
