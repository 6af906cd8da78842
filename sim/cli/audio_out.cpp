#include "sim/cli/audio_out.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <span>
#include <vector>

#include "sim/cli/serial_links.hpp"
#include "sim/parts/audio_sink.hpp"
#include "sim/periph/rcc.hpp"

namespace vb::cli {

namespace {

// The first of the host's raw-sample players found on PATH, as a command
// line that reads 8-bit unsigned mono at 8000/s from stdin.
std::string find_player() {
  struct Player { const char* exe; const char* command; };
  const Player players[] = {
      {"pacat", "pacat --raw --format=u8 --rate=8000 --channels=1"},
      {"aplay", "aplay -q -t raw -f U8 -r 8000 -c 1"},
  };
  const char* path = std::getenv("PATH");
  const std::string dirs = path ? path : "/usr/bin:/bin";
  for (const Player& p : players) {
    std::size_t from = 0;
    while (from <= dirs.size()) {
      const std::size_t to = std::min(dirs.find(':', from), dirs.size());
      const std::string file = dirs.substr(from, to - from) + "/" + p.exe;
      if (access(file.c_str(), X_OK) == 0) return p.command;
      from = to + 1;
    }
  }
  return {};
}

class AudioOut : public HostLink {
public:
  AudioOut(Board& board, const AudioOptions& opts, bool real_time) {
    if (!opts.wav.empty()) {
      wav_ = std::make_unique<WavFile>(opts.wav);
      std::cerr << "[board] recording the audio output into " << opts.wav << "\n";
    }
    if (opts.live && !real_time) {
      std::cerr << "[board] --audio: no live sound with --fast (the board runs faster than real time)"
                << (wav_ ? "" : "; --wav FILE records it") << "\n";
    } else if (opts.live) {
      const std::string player = find_player();
      if (player.empty()) {
        std::cerr << "[board] --audio: no sound player found (install pulseaudio-utils for pacat or "
                     "alsa-utils for aplay); running without live sound\n";
      } else if ((pipe_ = popen((player + " >/dev/null").c_str(), "w")) != nullptr) {
        // A full pipe drops samples rather than stalling the board; a player
        // that ends must not end vboard with SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        const int fd = fileno(pipe_);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        std::cerr << "[board] playing the audio output live through " << player.substr(0, player.find(' ')) << "\n";
      }
    }
    sink_ = std::make_shared<AudioSink>(board.m(), board.dac(),
                                        [this](std::span<const std::uint8_t> s) { consume(s); });
    std::weak_ptr<AudioSink> weak = sink_;
    board.rcc().on_change([weak] {
      if (auto sink = weak.lock()) sink->clocks_changed();
    });
  }
  ~AudioOut() override { finish(); }

  void poll(Board&) override { sink_->flush(); }
  void close(Board&) override { finish(); }

private:
  void consume(std::span<const std::uint8_t> s) {
    if (wav_) wav_->append(s);
    if (!pipe_) return;
    const ssize_t n = write(fileno(pipe_), s.data(), s.size());
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      board_line("[board] --audio: the sound player ended; running without live sound");
      pclose(pipe_);
      pipe_ = nullptr;
    }
  }
  void finish() {
    if (sink_) sink_->flush();
    sink_.reset();
    if (wav_) {
      // The console may have left a line unfinished on the same terminal.
      char secs[32];
      std::snprintf(secs, sizeof secs, "%g", static_cast<double>(wav_->samples()) / 8000.0);
      board_line("[board] audio output recorded into " + wav_->path() + " (" + secs + " s)");
    }
    wav_.reset();  // finalises the header
    if (pipe_) pclose(pipe_);
    pipe_ = nullptr;
  }

  std::unique_ptr<WavFile> wav_;
  std::FILE* pipe_ = nullptr;
  std::shared_ptr<AudioSink> sink_;
};

}  // namespace

std::unique_ptr<HostLink> make_audio_out(Board& board, const AudioOptions& opts, bool real_time) {
  if (opts.wav.empty() && !opts.live) return nullptr;
  return std::make_unique<AudioOut>(board, opts, real_time);
}

}  // namespace vb::cli
