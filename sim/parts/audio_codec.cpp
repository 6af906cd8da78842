#include "sim/parts/audio_codec.hpp"

#include <algorithm>

#include "sim/core/machine.hpp"

namespace vb {

AudioCodec::AudioCodec(Machine& m, PinIo& pins, std::function<double()> master_clock_hz, AudioCodecOptions opts)
    : m_(m), pins_(pins), mclk_(std::move(master_clock_hz)), opts_(opts) {
  // The board's pull-up resistors; the part pulls a line low on top of them.
  pins_.drive(kScl, Drive::kPullUp);
  pins_.drive(kSda, Drive::kPullUp);
  hold_left_ = opts_.hold_sda_clocks;
  if (hold_left_ > 0) set_sda(true);
  scl_ = pins_.level(kScl);
  sda_ = pins_.level(kSda);
  in_reset_ = !pins_.level(kReset);
  watches_[0] = pins_.watch(kScl, [this](bool l) { on_scl(l); });
  watches_[1] = pins_.watch(kSda, [this](bool l) { on_sda(l); });
  watches_[2] = pins_.watch(kReset, [this](bool l) { on_reset(l); });
}

AudioCodec::~AudioCodec() {
  if (stretch_) m_.scheduler().cancel(stretch_);
  for (int id : watches_) pins_.unwatch(id);
}

void AudioCodec::set_sda(bool low) {
  driving_sda_ = low;
  pins_.drive(kSda, low ? Drive::kLow : Drive::kPullUp);
}

void AudioCodec::on_reset(bool level) {
  in_reset_ = !level;
  if (!in_reset_) return;
  regs_.fill(0);
  configured_ = false;
  have_pointer_ = false;
  addressed_ = false;  // the rest of a transfer in progress is not for a part in reset
  if (acking_) {
    acking_ = false;
    set_sda(false);
  }
}

// Start and stop conditions: SDA changes while SCL is high.
void AudioCodec::on_sda(bool level) {
  sda_ = level;
  if (!scl_) return;
  const cycles_t now = m_.now();
  if (!level) {
    events_.push_back({in_transfer_ ? BusEvent::kRepeatedStart : BusEvent::kStart, 0, false, now});
    in_transfer_ = true;
    bit_ = 0;
    shift_ = 0;
    first_byte_ = true;
    addressed_ = false;
    have_pointer_ = false;
  } else if (in_transfer_) {
    events_.push_back({BusEvent::kStop, 0, false, now});
    in_transfer_ = false;
    addressed_ = false;
  }
}

void AudioCodec::on_scl(bool level) {
  scl_ = level;
  if (!events_.empty()) {
    const cycles_t now = m_.now();
    if (last_scl_edge_ != kNever) min_phase_ = std::min(min_phase_, now - last_scl_edge_);
    last_scl_edge_ = now;
  }
  if (level) {
    // Rising edge: the receiver samples SDA.
    if (!in_transfer_) return;
    if (bit_ < 8) {
      shift_ = static_cast<std::uint8_t>(shift_ << 1 | (sda_ ? 1 : 0));
      ++bit_;
    } else if (bit_ == 8) {
      events_.push_back({BusEvent::kByte, shift_, !sda_, m_.now()});
      bit_ = 9;
    }
    return;
  }
  // Falling edge.
  if (hold_left_ > 0) {
    ++recovery_clocks_;
    if (--hold_left_ == 0) set_sda(false);
  }
  if (in_transfer_) {
    if (bit_ == 8) {
      byte_done(shift_);
    } else if (bit_ == 9) {
      if (acking_) {
        acking_ = false;
        set_sda(false);
      }
      bit_ = 0;
      shift_ = 0;
    }
  }
  if (opts_.present && opts_.stretch_us > 0) {
    // Clock stretching: the part keeps SCL low a while after the master's
    // falling edge.
    pins_.drive(kScl, Drive::kLow);
    if (stretch_) m_.scheduler().cancel(stretch_);
    const auto cycles = static_cast<cycles_t>(opts_.stretch_us * m_.clocks().hclk / 1e6);
    stretch_ = m_.scheduler().after(cycles, [this] {
      stretch_ = 0;
      pins_.drive(kScl, Drive::kPullUp);
    });
  }
}

// Eight bits are in (SCL has just fallen after the eighth): decide the
// acknowledge and take the byte.
void AudioCodec::byte_done(std::uint8_t b) {
  bool ack = false;
  if (first_byte_) {
    first_byte_ = false;
    addressed_ = opts_.present && !in_reset_ && b == (kAddress << 1);  // write to our address
    ack = addressed_;
  } else if (addressed_ && !in_reset_) {
    ack = true;
    if (mclk_at_config_ < 0) {
      mclk_at_config_ = mclk_ ? mclk_() : 0;
      if (mclk_at_config_ <= 0) m_.message("audio codec: configured while its master clock (PC7) is not running");
    }
    if (!configured_) {
      configured_ = true;
      mclk_playing_ = mclk_ ? mclk_() : 0;
    }
    if (!have_pointer_) {
      pointer_ = b;
      have_pointer_ = true;
    } else {
      regs_[pointer_] = b;
      writes_.push_back({pointer_, b});
      ++pointer_;
    }
  }
  if (ack) {
    acking_ = true;
    set_sda(true);
  }
}

}  // namespace vb

namespace vb {

// Playing: configured since its reset ended.
void AudioCodec::master_clock_changed() {
  if (in_reset_ || !configured_ || !mclk_) return;
  const double now = mclk_();
  if (now == mclk_playing_) return;
  const auto mhz = [](double hz) { return std::to_string(hz / 1e6) + " MHz"; };
  if (now <= 0) {
    m_.message("audio codec: its master clock (PC7) stopped while it plays");
  } else if (mclk_playing_ <= 0) {
    m_.message("audio codec: its master clock (PC7) came back at " + mhz(now) + " while it plays");
  } else {
    m_.message("audio codec: its master clock (PC7) changed from " + mhz(mclk_playing_) + " to " + mhz(now) +
               " while it plays");
  }
  mclk_playing_ = now;
}

}  // namespace vb
