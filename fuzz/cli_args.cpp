// The command line with arbitrary arguments, against a small index in a
// scratch folder: it must end with exit code 0, 1 or 2 and never crash.
//
// Arguments are the input split at newlines. The harness keeps the program
// inside its scratch folder and off the network: absolute paths, `..` and
// `~` become a relative folder, and inputs that name the OpenAI-compatible
// model are skipped (they would make it connect to whatever URL the fuzzer
// wrote).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "value_from_bytes.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxArgs = 12;
constexpr std::size_t kMaxArgBytes = 96;

struct Scratch {
  fs::path dir;
  fs::path pristine;
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::remove(pristine, ec);
  }
};

int cli(const std::vector<std::string>& args, std::string* out_text = nullptr) {
  std::vector<const char*> argv;
  argv.push_back("vorn-rag");
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = vorn_cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
  if (out_text) *out_text = out.str() + err.str();
  return code;
}

// The scratch folder as every run starts it: three documents and an index
// of them at the default store path.
void reset(const Scratch& s) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(s.dir, ec)) {
    fs::remove_all(entry.path(), ec);
  }
  fs::create_directories(s.dir / "docs");
  std::ofstream(s.dir / "docs" / "fusion.md") << "# Fusion\n\nReciprocal rank fusion adds 1 / (60 + rank).\n";
  std::ofstream(s.dir / "docs" / "crag.md") << "# CRAG\n\nA relevance evaluator judges retrieved chunks.\n";
  std::ofstream(s.dir / "docs" / "codes.txt") << "VORN-RAG-VALIDATION marks an invalid request.\n";
  if (fs::exists(s.pristine)) {
    fs::create_directories(s.dir / ".vorn-rag");
    fs::copy_file(s.pristine, s.dir / ".vorn-rag" / "index.db", fs::copy_options::overwrite_existing, ec);
  }
}

void prepare(Scratch& made) {
  made.dir = fs::temp_directory_path() / ("vorn_fuzz_cli_" + std::to_string(::getpid()));
  // Outside the folder, so that no argument can name it.
  made.pristine = made.dir.string() + ".pristine.db";
  fs::remove_all(made.dir);
  fs::create_directories(made.dir);
  fs::current_path(made.dir);
  reset(made);
  std::string text;
  if (cli({"index", "--no-progress", "docs"}, &text) != 0) {
    std::fprintf(stderr, "cannot build the scratch index: %s\n", text.c_str());
    std::abort();
  }
  fs::copy_file(made.dir / ".vorn-rag" / "index.db", made.pristine, fs::copy_options::overwrite_existing);
}

const Scratch& scratch() {
  static Scratch s;
  static const bool ready = (prepare(s), true);
  (void)ready;
  return s;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Scratch& s = scratch();
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < kMaxArgs; ++i) {
    if (data[i] == '\n') {
      args.push_back(std::move(current));
      current.clear();
    } else if (current.size() < kMaxArgBytes) {
      current += static_cast<char>(data[i]);
    }
  }
  if (args.size() < kMaxArgs && !current.empty()) args.push_back(std::move(current));
  for (auto& a : args) {
    if (lower(a).find("openai") != std::string::npos) return 0;  // never reach for the network
    if (a == "serve" || a == "mcp") return 0;  // servers run until stopped (covered by fuzz_serve_request)
    if (!a.empty() && (a.front() == '/' || a.front() == '~')) a = "docs";
    if (a.find("..") != std::string::npos) a = "docs";
  }
  const int code = cli(args);
  if (code != 0 && code != 1 && code != 2) vorn_fuzz::violated("exit code other than 0, 1 or 2");
  if (fs::current_path() != s.dir) vorn_fuzz::violated("the command changed the working directory");
  reset(s);
  return 0;
}
