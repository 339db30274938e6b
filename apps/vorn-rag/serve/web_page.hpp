// The page served at GET /: an ask box, the answer streaming in, citations
// that open the cited text, a strategy choice. One self-contained HTML file
// (serve/web/index.html) embedded at build time; no outside assets.
#pragma once

#include <string_view>

namespace vorn_serve {
std::string_view web_page() noexcept;
}
