// The library's error messages end with a hint that names the setting to
// change, in the library's terms (`max_retries`). Shown by the command line
// or its servers, a hint must name the option the user can pass instead
// (`--retries`), or no setting at all where the command line has none.
#pragma once

#include <string>
#include <string_view>

namespace vorn_cli {

// `message` with every library setting it names replaced by the command
// line's option for it; unchanged when it names none.
std::string with_cli_hints(std::string_view message);

}  // namespace vorn_cli
