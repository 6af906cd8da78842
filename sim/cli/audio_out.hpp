// vboard's audio output: the board's DAC recorded into a WAV file (--wav) and
// played live through the host's sound system (--audio) when it has a
// player for raw samples (pacat or aplay).
#pragma once
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/cli/runner.hpp"

namespace vb::cli {

struct AudioOptions {
  std::string wav;     // record into this file; empty: no recording
  bool live = false;   // play through the host's sound system
};

// The link that samples the board's DAC from power-up on; nullptr when
// neither recording nor live sound is asked for (or live sound is not
// possible and nothing is recorded). Says on stderr what it does; throws
// std::runtime_error when the WAV file cannot be created.
std::unique_ptr<HostLink> make_audio_out(Board& board, const AudioOptions& opts, bool real_time);

}  // namespace vb::cli
