// What pages say about each other, gathered from arbitrary text: pages are
// separated by a 0x1E byte, each "file name\ntitle\ntext". Nothing escapes,
// every page gets an answer, a page never describes itself alone, and the
// result does not depend on anything but the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "page_references.hpp"

namespace {

std::string_view take_line(std::string_view& rest) {
  const std::size_t eol = rest.find('\n');
  const std::string_view line = rest.substr(0, eol);
  rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<vorn_retrieval::ReferencingPage> pages;
  while (!input.empty() && pages.size() < 16) {
    const std::size_t cut = input.find('\x1e');
    std::string_view page = input.substr(0, cut);
    input = cut == std::string_view::npos ? std::string_view{} : input.substr(cut + 1);
    const std::string_view name = take_line(page);
    const std::string_view title = take_line(page);
    pages.push_back({std::string(name), page, std::string(title)});
  }
  const std::vector<std::string> said = vorn_retrieval::gather_anchor_text(pages);
  if (said.size() != pages.size()) std::abort();
  if (vorn_retrieval::gather_anchor_text(pages) != said) std::abort();
  return 0;
}
