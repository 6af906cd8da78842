// tools/make-voice's command line: what works without espeak-ng and sox
// (help, the default words, refused options).
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
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
      {"--list-words", 0, "M42 forty-two\n", ""},
      {"--bogus", 2, "", "make-voice: unknown option --bogus (see tools/make-voice --help)\n"},
      {"--out", 2, "", "make-voice: --out needs a value"},
      {"--speed fast", 2, "", "make-voice: --speed takes words per minute, not 'fast'"},
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

TEST(MakeVoice, DefaultWordsShouldHaveOneLineForEachOfThe84Clips) {
  const Ran r = make_voice("--list-words");
  ASSERT_EQ(0, r.status) << r.err;
  const std::regex line(R"(([HM])(\d\d) [a-z' -]+,?)");
  int hours = 0, minutes = 0;
  std::size_t from = 0;
  for (std::size_t nl; (nl = r.out.find('\n', from)) != std::string::npos; from = nl + 1) {
    std::smatch m;
    const std::string text = r.out.substr(from, nl - from);
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const int n = std::stoi(m[2]);
    if (m[1] == "H") EXPECT_EQ(hours++, n) << text;
    else EXPECT_EQ(minutes++, n) << text;
  }
  EXPECT_EQ(24, hours);
  EXPECT_EQ(60, minutes);
}

}  // namespace
