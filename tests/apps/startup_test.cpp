// What the program loads when it starts: the heavy optional libraries
// (poppler for PDF, libxml2 for HTML, libcurl for model endpoints, and what
// they bring) are loaded only by a run that needs them, and a run that reads a PDF still
// finds its module, through a bad module directory too. (Model calls, which
// load libcurl, are covered by the model client tests.) The loader's own trace (LD_DEBUG=files) tells which shared
// objects a process opened.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "minimal_pdf.hpp"

namespace {

namespace fs = std::filesystem;

struct ProgramRun {
  int code = -1;
  std::string trace;  // standard error: the loader's trace and the program's messages
};

// Runs the program with `env` added to the environment; stdout discarded
// unless `keep_stdout`, then read with stderr.
ProgramRun run_program(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       bool keep_stdout = false) {
  int err[2];
  if (::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(err[1], 2);
    ::close(err[0]);
    ::close(err[1]);
    if (keep_stdout) {
      ::dup2(2, 1);
    } else {
      ::dup2(::open("/dev/null", O_WRONLY), 1);
    }
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(err[1]);
  ProgramRun r;
  std::array<char, 4096> buffer;
  for (ssize_t n; (n = ::read(err[0], buffer.data(), buffer.size())) > 0;) r.trace.append(buffer.data(), n);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool opened(const ProgramRun& r, const std::string& library) { return r.trace.find("file=" + library) != std::string::npos; }

struct StartCase {
  const char* name;
  std::vector<std::string> args;  // after the program; "{dir}" is the test's directory
  bool bogus_module_dir;          // VORN_RAG_MODULE_DIR holds a file that is no module
  bool loads_pdf;
  bool loads_html;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class ProgramStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(ProgramStart, LoadsOptionalLibrariesOnlyWhenNeeded) {
  const StartCase& c = GetParam();
  const fs::path dir = fs::temp_directory_path() / ("vorn_startup_" + std::to_string(::getpid()) + "_" + c.name);
  fs::remove_all(dir);
  fs::create_directories(dir / "docs");
  fs::create_directories(dir / "modules");
  std::ofstream(dir / "docs" / "notes.md") << "# Notes\n\nApples are stored in the cellar.\n";
  std::ofstream(dir / "docs" / "manual.pdf", std::ios::binary)
      << vorn_test_support::minimal_pdf({"Pears ripen on the shelf"});
  std::ofstream(dir / "docs" / "guide.html") << "<html><body><h1>Plums</h1><p>Plums dry in the attic.</p></body></html>";
  std::ofstream(dir / "modules" / "libvorn_pdf.so") << "not a shared object\n";

  std::vector<std::string> args{VORN_RAG_EXE};
  for (std::string a : c.args) {
    if (const auto at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, dir.string());
    args.push_back(a);
  }
  std::vector<std::string> env{"LD_DEBUG=files"};
  if (c.bogus_module_dir) env.push_back("VORN_RAG_MODULE_DIR=" + (dir / "modules").string());
  const ProgramRun r = run_program(args, env);
  ASSERT_EQ(r.code, 0) << r.trace.substr(0, 4000);
  EXPECT_EQ(opened(r, "libpoppler"), c.loads_pdf);
  EXPECT_EQ(opened(r, "libxml2"), c.loads_html);
  EXPECT_FALSE(opened(r, "libcurl")) << "no model endpoint was used";
  EXPECT_FALSE(opened(r, "libzip")) << "no office document or book was read";
  EXPECT_EQ(r.trace.find("libvorn_pdf.so") != std::string::npos, c.loads_pdf || c.bogus_module_dir);
  if (c.loads_pdf) {
    // The PDF's text went into the index.
    const ProgramRun ask = run_program(
        {VORN_RAG_EXE, "--store", (dir / "index.db").string(), "ask", "Where do pears ripen?"}, {}, true);
    EXPECT_EQ(ask.code, 0);
    EXPECT_NE(ask.trace.find("shelf"), std::string::npos) << ask.trace;
    const ProgramRun offline_ask = run_program(
        {VORN_RAG_EXE, "--store", (dir / "index.db").string(), "ask", "Where do pears ripen?"}, {"LD_DEBUG=files"});
    EXPECT_FALSE(opened(offline_ask, "libcurl")) << "an offline answer loaded the HTTP library";
    EXPECT_FALSE(opened(offline_ask, "libpoppler")) << "answering loaded the PDF library";
    EXPECT_FALSE(opened(offline_ask, "libxml2")) << "answering loaded the HTML library";
  }
  fs::remove_all(dir);
}

const std::vector<std::string> kIndexAll{"--store", "{dir}/index.db", "index", "--no-progress", "{dir}/docs"};
std::vector<std::string> index_only(const char* pattern) {
  return {"--store", "{dir}/index.db", "index", "--no-progress", "--include", pattern, "{dir}/docs"};
}

INSTANTIATE_TEST_SUITE_P(Runs, ProgramStart,
                         ::testing::Values(StartCase{"Version", {"--version"}, false, false, false},
                                           StartCase{"IndexMarkdown", index_only("*.md"), false, false, false},
                                           StartCase{"IndexHtml", index_only("*.html"), false, false, true},
                                           StartCase{"IndexEverything", kIndexAll, false, true, true},
                                           StartCase{"IndexEverythingPastABadModule", kIndexAll, true, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
