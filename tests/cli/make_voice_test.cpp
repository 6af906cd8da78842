// tools/make-voice's command line: what works without espeak-ng and sox
// (help, the default words, refused options).
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Ran {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Ran make_voice(const std::string& args) {
  const fs::path dir = fs::temp_directory_path() / ("make-voice-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string cmd = std::string(MAKE_VOICE) + " " + args + " >" + (dir / "out").string() + " 2>" +
                          (dir / "err").string() + " </dev/null";
  const int st = std::system(cmd.c_str());
  Ran r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir / "out"), slurp(dir / "err")};
  fs::remove_all(dir);
  return r;
}

TEST(MakeVoice, HelpAndWordsShouldGoToStdoutAndBadOptionsBeRefusedOnStderr) {
  struct Case {
    std::string args;
    int status;
    std::string out_has, err_has;  // empty: that stream stays empty
  };
  const Case cases[] = {
      {"--help", 0, "when it does not exist", ""},
      {"-h", 0, "--list-words", ""},
      {"--list-words", 0, "H00 zero,\nH01 one,\n", ""},
      {"--list-words", 0, "\nM00 o'clock\nM01 oh one\n", ""},
      {"--bogus", 2, "", "make-voice: unknown option --bogus (see tools/make-voice --help)\n"},
      {"--out", 2, "", "make-voice: --out needs a value"},
      {"--speed fast", 2, "", "make-voice: --speed takes words per minute, not 'fast'"},
      {"--speed 0", 2, "", "make-voice: --speed takes 80 to 450 words per minute, not 0"},
      {"--speed 451", 2, "", "make-voice: --speed takes 80 to 450 words per minute, not 451"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Ran r = make_voice(c.args);
    EXPECT_EQ(c.status, r.status) << r.err;
    if (c.out_has.empty()) EXPECT_EQ("", r.out);
    else EXPECT_NE(std::string::npos, r.out.find(c.out_has)) << r.out;
    if (c.err_has.empty()) EXPECT_EQ("", r.err);
    else EXPECT_NE(std::string::npos, r.err.find(c.err_has)) << r.err;
  }
}

}  // namespace
